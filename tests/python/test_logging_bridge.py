"""Records of the module's log facility arriving in Python's logging.

The records are emitted by _jointbus_testing, which links the same facility and bridge code as
jointbus and installs its own bridge at import (jointbus exports nothing else to reach its
copy). The bridge caches loggers for the life of the process, so every test uses fresh names.
"""
import gc
import itertools
import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import _jointbus_testing as testing

_serial = itertools.count()


class ListHandler(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []

    def emit(self, record):
        self.records.append(record)


class CountingLogger(logging.Logger):
    """Remembers every level it was asked about and every makeRecord call."""

    def __init__(self, name):
        super().__init__(name)
        self.asked = []
        self.made = []

    def isEnabledFor(self, level):
        self.asked.append(level)
        return super().isEnabledFor(level)

    def makeRecord(self, *args, **kwargs):
        self.made.append((args, kwargs))
        return super().makeRecord(*args, **kwargs)


def fresh_name():
    return f"bridge_test_{next(_serial)}"


@pytest.fixture
def collected():
    """A logger name the bridge has never seen, and the list its records end up in."""
    name = fresh_name()
    logger = logging.getLogger(name)
    logger.setLevel(1)
    logger.propagate = False
    handler = ListHandler()
    logger.addHandler(handler)
    yield name, handler.records
    logger.removeHandler(handler)


def counting_logger(level):
    previous = logging.getLoggerClass()
    logging.setLoggerClass(CountingLogger)
    try:
        logger = logging.getLogger(fresh_name())
    finally:
        logging.setLoggerClass(previous)
    logger.setLevel(level)
    logger.propagate = False
    logger.addHandler(ListHandler())
    return logger


def records_of(logger):
    return logger.handlers[0].records


@pytest.mark.parametrize("suffix, logger_suffix", [
    ("", ""),
    ("::b::c", ".b.c"),
    ("::jointbus::transport", ".jointbus.transport"),
])
def test_target_path_becomes_dotted_logger_name(collected, suffix, logger_suffix):
    name, records = collected
    testing.emit("error", name + suffix, "m")
    assert [r.name for r in records] == [name + logger_suffix]


@pytest.mark.parametrize("level, number, level_name", [
    ("error", 40, "ERROR"),
    ("warn", 30, "WARNING"),
    ("info", 20, "INFO"),
    ("debug", 10, "DEBUG"),
])
def test_levels_map_to_python_levels(collected, level, number, level_name):
    name, records = collected
    testing.emit(level, name, "m")
    assert [(r.levelno, r.levelname) for r in records] == [(number, level_name)]


@pytest.mark.parametrize("file, line, pathname, lineno", [
    ("src/transport/socketcan_backend.cpp", 118, "src/transport/socketcan_backend.cpp", 118),
    (None, None, None, 0),
    ("only_file.cpp", None, "only_file.cpp", 0),
    (None, 7, None, 7),
])
def test_record_carries_source_location_or_none_and_zero(collected, file, line, pathname,
                                                         lineno):
    name, records = collected
    testing.emit("info", name, "m", file=file, line=line)
    [record] = records
    assert (record.pathname, record.lineno) == (pathname, lineno)


def test_message_is_taken_verbatim_not_percent_formatted(collected):
    name, records = collected
    testing.emit("warn", name, "100% done, %s left, ünïcode")
    [record] = records
    assert record.msg == "100% done, %s left, ünïcode"
    assert record.getMessage() == record.msg
    assert record.args == ()
    assert record.exc_info is None


def test_make_record_gets_its_arguments_in_order():
    logger = counting_logger(logging.DEBUG)
    testing.emit("info", logger.name, "hello", file="f.cpp", line=3)
    assert logger.made == [((logger.name, 20, "f.cpp", 3, "hello", (), None), {})]


def test_first_record_asks_its_level_then_probes_from_most_verbose():
    logger = counting_logger(logging.INFO)
    testing.emit("warn", logger.name, "m")
    assert logger.asked == [30, 5, 10, 20]
    assert len(records_of(logger)) == 1


def test_logger_disabled_at_first_record_stays_dropped_without_asking_python():
    logger = counting_logger(logging.CRITICAL)
    testing.emit("error", logger.name, "m")
    assert logger.asked == [40, 5, 10, 20, 30, 40]

    logger.setLevel(1)  # too late: the bridge read the level once
    for level in ("error", "warn", "info", "debug"):
        testing.emit(level, logger.name, "m")
    testing.emit_from_thread("error", logger.name, "m")
    assert logger.asked == [40, 5, 10, 20, 30, 40]
    assert records_of(logger) == []
    assert logger.made == []


def test_cached_level_drops_less_severe_records_but_python_decides_the_rest():
    logger = counting_logger(logging.WARNING)
    testing.emit("warn", logger.name, "first")
    asked = len(logger.asked)

    logger.setLevel(logging.DEBUG)
    testing.emit("info", logger.name, "dropped by the cached level")
    assert len(logger.asked) == asked

    logger.setLevel(logging.ERROR)
    testing.emit("warn", logger.name, "dropped by Python")
    testing.emit("error", logger.name, "kept")
    assert logger.asked[asked:] == [30, 40]
    assert [r.getMessage() for r in records_of(logger)] == ["first", "kept"]


def test_trace_records_never_reach_python():
    logger = counting_logger(1)
    testing.emit("trace", logger.name, "m")
    testing.emit_from_thread("trace", logger.name, "m")
    assert logger.asked == []
    assert records_of(logger) == []
    # Not even cached: the next record is the logger's first.
    testing.emit("debug", logger.name, "m")
    assert logger.asked == [10, 5]


def test_second_installation_keeps_the_first_bridge_and_its_cache():
    logger = counting_logger(logging.CRITICAL)
    testing.emit("error", logger.name, "m")
    testing.install_bridge()
    logger.setLevel(1)
    testing.emit("error", logger.name, "m")
    assert records_of(logger) == []


class RaisingHandler(logging.Handler):
    def emit(self, record):
        raise ValueError(f"handler broke on {record.getMessage()}")


@pytest.fixture
def raising_logger():
    logger = logging.getLogger(fresh_name())
    logger.propagate = False
    logger.setLevel(1)
    logger.addHandler(RaisingHandler())
    return logger


@pytest.mark.parametrize("emit", [testing.emit, testing.emit_from_thread])
def test_handler_error_is_printed_as_uncaught_and_goes_no_further(capfd, raising_logger, emit):
    emit("error", raising_logger.name, "first")
    emit("error", raising_logger.name, "second")
    err = capfd.readouterr().err
    assert err.count("Traceback (most recent call last):") == 2
    assert "ValueError: handler broke on first" in err
    assert "ValueError: handler broke on second" in err


def test_handler_error_goes_through_sys_excepthook_and_not_into_sys_last(monkeypatch,
                                                                         raising_logger):
    seen = []
    monkeypatch.setattr(sys, "excepthook", lambda *exc_info: seen.append(exc_info))
    for name in ("last_type", "last_value", "last_traceback"):
        monkeypatch.delattr(sys, name, raising=False)
    testing.emit("error", raising_logger.name, "m")
    [(kind, value, traceback)] = seen
    assert kind is ValueError and str(value) == "handler broke on m"
    assert traceback is not None
    assert not hasattr(sys, "last_value")


def test_record_from_a_thread_python_never_saw(collected):
    name, records = collected
    testing.emit_from_thread("info", name + "::worker", "from C++", file="w.cpp", line=5)
    [record] = records
    assert (record.name, record.getMessage(), record.pathname, record.lineno) == (
        name + ".worker", "from C++", "w.cpp", 5)
    assert record.thread != threading.get_ident()


def test_concurrent_first_records_from_python_and_native_threads_all_arrive(collected):
    # Native threads wait for the interpreter lock while Python threads hold it and consult
    # the cache: a lock-order mistake shows up as a hang.
    name, records = collected
    rounds = 40

    def worker(index):
        for i in range(rounds):
            testing.emit_from_thread("info", f"{name}::n{index}::{i % 5}", "m")
            testing.emit("info", f"{name}::p{index}::{i % 5}", "m")

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert len(records) == 6 * rounds * 2


@pytest.mark.parametrize("emit", [testing.emit, testing.emit_from_thread])
def test_delivery_leaks_no_references_or_memory(emit):
    logger = logging.getLogger(fresh_name())
    logger.propagate = False
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())

    def burst():
        for _ in range(50):
            emit("error", logger.name, "handled", file="f.cpp", line=1)
            emit("debug", logger.name, "dropped by the cached level")
        gc.collect()

    burst()  # warm-up: caches of the bridge, of logging and of the allocator
    counts = []
    for _ in range(3):
        burst()
        counts.append((sys.getrefcount(logger), sys.getallocatedblocks()))
    assert counts[0][0] == counts[-1][0]
    assert counts[-1][1] - counts[0][1] < 20


def run_python(script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, env=env, check=False)


def test_importing_jointbus_imports_logging():
    result = run_python("""
        import sys
        assert "logging" not in sys.modules
        import jointbus
        print("logging" in sys.modules)
    """)
    assert result.stdout == "True\n", result.stderr


def test_import_fails_with_panic_when_logging_cannot_be_imported_and_can_be_retried():
    result = run_python("""
        import sys
        sys.modules["logging"] = None
        try:
            import jointbus
        except Exception as error:
            print("caught by except Exception:", error)
        except BaseException as error:
            print(type(error).__name__)
            print(error)
        del sys.modules["logging"]
        import jointbus
        print(jointbus.__all__[-1])
    """)
    assert result.returncode == 0, result.stderr
    kind, message, retried = result.stdout.splitlines()
    assert kind == "PanicException"
    assert message == ("Failed to initialize python logging: ModuleNotFoundError("
                       "'import of logging halted; None in sys.modules')")
    assert retried == "mit_setpoint"
