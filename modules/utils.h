// Starting other programs.
#pragma once

// Starts args[0] (an absolute path; PATH is not searched) with the argument
// vector args and an environment of only PATH. With wait_for_child, waits and
// requires exit status retval. With logging false the child's standard
// descriptors are /dev/null. Every failure is an exception.
void launch(char* const* args, int retval, bool wait_for_child, bool logging);
