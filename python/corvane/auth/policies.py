"""Reference companion module: the base class of authentication policies.

A host replaces this module with its own; the policy needs only the three
attributes set here.
"""
import json

from corvane.auth.jwt._jwt import UsersMapping


class BaseAuthenticationPolicy:
    """Reads the ini settings "corvane.auth_settings" and "corvane.users"
    (JSON file paths) and "corvane.default_extension" (default "html")."""

    def __init__(self, settings):
        with open(settings["corvane.auth_settings"], encoding="utf-8") as file:
            self.auth_settings = json.load(file)
        self.users = UsersMapping.from_file(settings["corvane.users"])
        self.cvn_settings = {"default_extension": settings.get("corvane.default_extension", "html")}
