// Texts from the program and the registry, shown in a terminal as they are.
#pragma once

#include <string>

// In quotes, so that it reads back as it was: quotes, backslashes, control
// characters and bytes that are not UTF-8 are escaped (\", \\, \n, \xe9).
std::string Quoted(const std::string &bytes);

// As it is where it stands alone, as `reg query` shows it: only control
// characters and bytes that are not UTF-8 are escaped.
std::string Printable(const std::string &bytes);
