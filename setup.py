"""Builds the extension bmpfun._bmpfun with the project's CMake (see pyproject.toml)."""
import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        # BMPFUN_PYTHON_BUILD_DIR: a build of this project, configured with
        # BMPFUN_BUILD_PYTHON=ON for an interpreter of this one's ABI and built already (CI
        # hands over its release build): the package takes that module instead of building
        # the library a second time.
        given = os.environ.get("BMPFUN_PYTHON_BUILD_DIR")
        if given:
            build_dir = os.path.abspath(given)
        else:
            build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
            jobs = str(os.cpu_count() or 1)
            subprocess.check_call([
                "cmake", "-S", ROOT, "-B", build_dir,
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DBMPFUN_BUILD_PYTHON=ON",
                "-DBMPFUN_BUILD_TESTS=OFF",
                # The module must fit the interpreter that will import it, not whichever
                # python3 comes first on PATH.
                f"-DPython3_EXECUTABLE={sys.executable}",
            ])
            subprocess.check_call(["cmake", "--build", build_dir, "--target", "bmpfun_python", "-j", jobs])
        built = os.path.join(build_dir, "python", "stage", "bmpfun", "_bmpfun" + suffix)
        if not os.path.isfile(built):
            sys.exit(f"setup.py: no module {built} (BMPFUN_PYTHON_BUILD_DIR names a build whose "
                     f"target bmpfun_python is made for {sys.executable}'s ABI)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[CMakeExtension("bmpfun._bmpfun")], cmdclass={"build_ext": CMakeBuild})
