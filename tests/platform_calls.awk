# Keeps the registry and message box calls that regexercise.exe's own image
# makes in a Wine relay trace, one per line, with each handle and pointer
# reduced to its role: "null", or "handle" / "ptr" when it is set.
# Variables: base and size, the image's address range, as hex text.

function hex(text,    i, value) {
    value = 0
    text = tolower(text)
    for (i = 1; i <= length(text); i++) {
        value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
    }
    return value
}

function reduce(argument, role) {
    if (role == "s" && index(argument, "\"")) {
        return substr(argument, index(argument, "\""))
    }
    if (role == "v") {
        return argument
    }
    if (argument ~ /^0+$/) {
        return "null"
    }
    return role == "h" ? "handle" : "ptr"
}

BEGIN {
    # v: a value kept as it is; s: a text; h: a key or window handle; p: a pointer
    roles["RegCreateKeyExA"] = "v s v p v v p p p"
    roles["RegOpenKeyExA"] = "v s v v p"
    roles["RegSetValueExA"] = "h s v v p v"
    roles["RegQueryValueExA"] = "h s p p p p"
    roles["RegCloseKey"] = "h"
    roles["RegDeleteKeyA"] = "v s"
    roles["MessageBoxA"] = "h s s v"
    low = hex(base)
    high = low + hex(size)
}

/:Call (advapi32\.Reg|user32\.MessageBox)/ {
    caller = hex(substr($0, index($0, " ret=") + 5))
    if (caller < low || caller >= high) {
        next
    }
    call = substr($0, index($0, ":Call ") + 6)
    call = substr(call, 1, index(call, " ret=") - 1)
    name = substr(call, index(call, ".") + 1)
    name = substr(name, 1, index(name, "(") - 1)
    arguments = substr(call, index(call, "(") + 1)
    arguments = substr(arguments, 1, length(arguments) - 1)

    if (!(name in roles)) {
        print name "(" arguments ")   <- not in the documented sequence"
        next
    }
    count = split(arguments, argument, ",")
    split(roles[name], role, " ")
    line = name "("
    for (i = 1; i <= count; i++) {
        line = line (i > 1 ? ", " : "") reduce(argument[i], role[i])
    }
    print line ")"
}
