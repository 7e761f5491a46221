// Starting other programs.
#pragma once

#include <string>

// Starts args[0] (an absolute path; PATH is not searched) with the argument
// vector args and an environment of only PATH. With wait_for_child, waits and
// requires exit status retval. With logging false the child's standard
// descriptors are /dev/null. Every failure is an exception.
void launch(char* const* args, int retval, bool wait_for_child, bool logging);

// Starts args[0] as launch does, with standard output and error captured,
// and waits: its exit status (-1 when it did not exit), output its text.
int launchCaptured(char* const* args, std::string& output);
