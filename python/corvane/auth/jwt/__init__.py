"""JWT authentication for Pyramid applications: see ``corvane.auth.jwt.jwt``."""
