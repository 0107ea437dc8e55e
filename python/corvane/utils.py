"""Reference companion module: request formats, integer settings, session."""

def requested_data_format(request, default_extension):
    """The formats the request asks for, the response format first: the
    extension of the last path segment when it has one, else the default
    extension (which must be text)."""
    _, dot, extension = request.path_info.rpartition("/")[2].rpartition(".")
    if dot:
        return [extension]
    if not isinstance(default_extension, str):
        raise TypeError(f"default extension must be text, not {type(default_extension).__name__}")
    return [default_extension]


def asint(value, default, key):
    """An integer setting: None gives `default`; a number or decimal text is
    taken as it is; anything else is a ValueError naming `key`."""
    if value is None:
        return default
    if isinstance(value, bool):
        raise ValueError(f"Invalid integer value for {key}: {value!r}")
    try:
        if isinstance(value, float):
            if not value.is_integer():
                raise ValueError
            return int(value)
        return int(value)
    except (TypeError, ValueError):
        raise ValueError(f"Invalid integer value for {key}: {value!r}") from None


def load_sso_user_to_session(request, sso_user_id):
    """Keeps the single sign-on user id in the request's session, when the
    request has one with something in it (an HTML login): a request
    authenticated by its token alone gets no session cookie."""
    session = request.session
    if session:
        session["sso_user_id"] = sso_user_id
