"""Reference companion module: the log context of each thread."""
import threading

_local = threading.local()


def current_thread_log_context():
    """The calling thread's log context, a dict that its log records carry."""
    try:
        return _local.context
    except AttributeError:
        _local.context = {}
        return _local.context


def reset_thread_log_context():
    """Starts the calling thread's next request with an empty context."""
    _local.context = {}
