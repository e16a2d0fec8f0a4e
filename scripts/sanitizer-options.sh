# Sourced by the scripts that run tests: a sanitizer report ends the program
# with a status of its own, so no report can pass unnoticed.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:exitcode=66"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=67"
export TSAN_OPTIONS="halt_on_error=1:exitcode=68:second_deadlock_stack=1"
