// The program that the watcher is given, looked at before anything runs.
#pragma once

#include <string>

// Why the file at the path is not a regexercise.exe that can be watched, in
// words; empty when it is one.
std::string WhyNotRegexercise(const std::string &path);
