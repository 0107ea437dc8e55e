"""`pip wheel` of the source tree, installed into a fresh environment, serves
an authenticated request through the demo Pyramid application from there.

The wheel's extension is built in the test's own CMake build directory
(CORVANE_CMAKE_BUILD_DIR), so nothing is compiled again."""
import glob
import json
import os
import subprocess

from conftest import BUILD, SOURCE

PYTHON = "/usr/bin/python3"


def test_wheel_in_a_fresh_environment(site, tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env.update(CORVANE_CMAKE_BUILD_DIR=os.path.abspath(BUILD), CORVANE_REFERENCE_MODULES="1", PIP_NO_INDEX="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1")
    wheels = tmp_path / "wheels"
    subprocess.run([PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", str(wheels),
                    os.path.abspath(SOURCE)], check=True, capture_output=True, env=env, cwd=tmp_path)
    (wheel,) = glob.glob(str(wheels / "corvane_auth_jwt-*.whl"))

    venv = tmp_path / "venv"
    subprocess.run([PYTHON, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True, env=env)
    python = str(venv / "bin" / "python3")
    subprocess.run([python, "-m", "pip", "install", "--no-deps", wheel], check=True, capture_output=True, env=env)

    serve = f"""
import json, sys
sys.path.insert(0, {os.path.join(os.path.abspath(SOURCE), "demo")!r})
import pyramid_app, webtest
import corvane.auth.jwt.jwt as jwt
app = webtest.TestApp(pyramid_app.main(**{site.settings()!r}))
answer = app.get("/whoami.json?idp_id=idp", headers={{"Authorization": {site.token()!r}}})
print(json.dumps({{"module": jwt.__file__, "status": answer.status_int, "body": answer.json}}))
"""
    run = subprocess.run([python, "-c", serve], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert result["module"].startswith(str(venv)), result
    assert (result["status"], result["body"]["user_id"], result["body"]["sso_user_id"]) == (200, "alice", "alice-sso")
