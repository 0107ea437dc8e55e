"""Rebuilding a JWT policy every ``corvane.reload_interval`` seconds, so that
a provider's rotated keys are taken up without a restart.

A daemon thread rebuilds the policy from its ini settings (the policy's class
called again with them: the files and providers are read anew) and hands the
new one to its holder by one attribute assignment; requests go on with the
policy they started with meanwhile. A rebuild is not applied when it fails or
when a provider the running policy serves would be skipped in it (its
discovery document or key set cannot be had now): the running policy stays,
the last known good, with a warning naming the provider and the error, and
the next interval tries again.
"""
import atexit
import logging
import threading
import weakref

SETTING = "corvane.reload_interval"
# Key rotations are announced days ahead; a longer wait is more likely a slip
# of the unit than a wish.
MAX_INTERVAL = 7 * 24 * 3600

logger = logging.getLogger("corvane.auth.jwt")


def reload_interval(ini_settings):
    """The seconds between rebuilds that `ini_settings` ask for, 0 (no
    rebuilds) when they do not. ValueError naming the setting for anything
    but a whole number from 0 to a week."""
    value = ini_settings.get(SETTING)
    if value is None:
        return 0
    try:
        if isinstance(value, bool) or (isinstance(value, float) and not value.is_integer()):
            raise ValueError
        seconds = int(value)
    except (TypeError, ValueError):
        seconds = -1
    if not 0 <= seconds <= MAX_INTERVAL:
        raise ValueError(f"{SETTING} must be a whole number of seconds from 0 to {MAX_INTERVAL}, not {value!r}")
    return seconds


class PolicyReloader:
    """Rebuilds `holder.jwt_policy` every `interval` seconds on a daemon
    thread, which ends when stop() is called, when the holder is gone, or at
    interpreter exit. `succeeded` and `failed` count the rebuilds."""

    def __init__(self, holder, interval):
        self.interval = interval
        self.succeeded = 0
        self.failed = 0
        self._holder = weakref.ref(holder)  # the holder owns this object, not the reverse
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._rebuilding = False
        self._thread = threading.Thread(target=self._run, name="corvane-policy-reload", daemon=True)
        atexit.register(self._stop_at_exit)
        self._thread.start()

    def stop(self):
        """Ends the thread: at once while it waits, after the rebuild that
        runs otherwise."""
        atexit.unregister(self._stop_at_exit)
        self._stopping.set()
        if threading.current_thread() is not self._thread:
            self._thread.join()

    def _stop_at_exit(self):
        # A rebuild that runs is not waited for: it writes nothing, and its
        # fetches could hold the exit for their whole time-out. The
        # interpreter ends the daemon thread instead.
        with self._lock:
            self._stopping.set()
            idle = not self._rebuilding
        if idle:
            self._thread.join()

    def _run(self):
        while not self._stopping.wait(self.interval):
            with self._lock:
                if self._stopping.is_set():
                    return
                self._rebuilding = True
            try:
                holder = self._holder()
                if holder is None:
                    atexit.unregister(self._stop_at_exit)
                    return
                self._rebuild(holder)
                del holder
            finally:
                with self._lock:
                    self._rebuilding = False

    def _rebuild(self, holder):
        running = holder.jwt_policy
        try:
            rebuilt = type(running)(running.ini_settings)
        except Exception as error:  # the running policy stays; the next interval tries again
            self.failed += 1
            logger.warning(f"JWT policy reload failed, the running policy stays in use: "
                           f"{type(error).__name__}: {error}")
            return
        served = running.idps or {}
        failing = [(idp_id, error) for idp_id, status, error in rebuilt._core.provider_states()
                   if status == "skipped" and idp_id in served]
        for idp_id, error in failing:
            logger.warning(f'Identity provider "{idp_id}" fails in the rebuilt JWT policy, '
                           f"the running policy keeps serving it: {error}")
        if failing:
            self.failed += 1
            return
        holder.jwt_policy = rebuilt
        self.succeeded += 1
