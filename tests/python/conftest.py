"""With MOVRA_LEAK_CHECK set (the sanitizer run of tests/run_all.sh), LeakSanitizer looks for
leaks once the suites have run, while the interpreter is still whole: everything the
interpreter keeps is then reachable, and a block nobody holds is ours (tests/lsan.supp names
the one exception, tracemalloc's own records). The interpreter's own teardown, which leaves
much unfreed, is not checked (leak_check_at_exit=0); PYTHONMALLOC=malloc lets the sanitizer
see inside Python objects.
"""
import atexit
import ctypes
import gc
import os

if os.environ.get("MOVRA_LEAK_CHECK"):

    def _check_leaks():
        gc.collect()
        if ctypes.CDLL(None).__lsan_do_recoverable_leak_check():
            os._exit(1)  # the report is on stderr

    atexit.register(_check_leaks)
