// SPDX-License-Identifier: MIT
// Linked into the sanitized build of the tool alone: the sanitizers' defaults for every run,
// whatever environment a case gives it. A bus error must end the run as a signal, as it
// does for the plain build, so AddressSanitizer leaves SIGBUS alone.

// The sanitizer runtimes look these up by name.
extern "C" const char *__asan_default_options() { // NOLINT(*-reserved-identifier,cert-dcl*)
    return "halt_on_error=1:detect_leaks=1:handle_sigbus=0";
}

extern "C" const char *__ubsan_default_options() { // NOLINT(*-reserved-identifier,cert-dcl*)
    return "halt_on_error=1:print_stacktrace=1";
}
