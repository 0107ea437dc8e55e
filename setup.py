"""Builds the extension corvane.auth.jwt._jwt with the project's CMake build
and packages it with the Python files of python/.

    python3 -m pip install --no-build-isolation .
    python3 -m pip wheel --no-build-isolation --no-deps .

Environment:
  CORVANE_CMAKE_BUILD_DIR    an existing CMake build directory to build the
                             extension in (e.g. build): only what changed is
                             rebuilt. Default: a Release build of its own
                             under build/setuptools.
  CORVANE_REFERENCE_MODULES  1 also packages the reference companion modules
                             corvane.auth.policies, corvane.logging_conf and
                             corvane.utils (the demo application needs them; a
                             host normally brings its own).
"""
import os
import shutil
import subprocess
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.environ.get("CORVANE_CMAKE_BUILD_DIR") or os.path.join(ROOT, "build", "setuptools", "cmake")
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"],
                           check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", build_dir, "--target", "corvane_python_jwt", "-j", jobs], check=True)
        built = os.path.join(build_dir, "python", "corvane", "auth", "jwt", "_jwt" + sysconfig.get_config_var("EXT_SUFFIX"))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


reference = os.environ.get("CORVANE_REFERENCE_MODULES") == "1"
setup(
    package_dir={"": "python"},
    packages=["corvane.auth.jwt"],
    py_modules=["corvane.auth.policies", "corvane.logging_conf", "corvane.utils"] if reference else [],
    ext_modules=[Extension("corvane.auth.jwt._jwt", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": os.path.join("build", "setuptools")}},
    zip_safe=False,
)
