"""Facts about the process the tests run in, shared by several test modules."""


def loaded_libraries():
    try:
        with open("/proc/self/maps") as maps:
            return maps.read()
    except OSError:
        return ""


# AddressSanitizer keeps freed memory in quarantine (resident memory grows by
# design), reserves terabytes of shadow address space (no room for RLIMIT_AS)
# and reports a failed allocation instead of letting `new` throw.
UNDER_ASAN = "libasan" in loaded_libraries()


def overcommit_mode():
    try:
        with open("/proc/sys/vm/overcommit_memory") as mode:
            return int(mode.read())
    except (OSError, ValueError):
        return None


# An allocation of terabytes fails at once unless the kernel promises any
# amount of memory (mode 1), in which case filling it would end the machine.
HUGE_ALLOCATION_FAILS = not UNDER_ASAN and overcommit_mode() in (0, 2)


def ticks_during(call):
    """Run `call()` while another Python thread ticks every millisecond.

    Returns how long the call took and how many ticks fell inside it: a call
    that holds the GIL throughout lets almost none through.
    """
    import threading
    import time

    ticks, done = [], threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.02)
    start = time.perf_counter()
    try:
        call()
    finally:
        end = time.perf_counter()
        done.set()
        counter.join()
    return end - start, sum(start < tick < end for tick in ticks)
