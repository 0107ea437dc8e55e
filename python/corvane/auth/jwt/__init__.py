"""JWT authentication for Pyramid applications (module ``corvane.auth.jwt.jwt``)."""
