"""Builds the extension bmpfun._bmpfun with the project's CMake (see pyproject.toml)."""
import os
import shutil
import subprocess
import sys
import sysconfig
import time

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


def say(text):
    """A progress line on stderr: pip shows it with -v (and on a failure); without -v it
    shows its own spinner and keeps the build's output to itself."""
    print(f"bmpfun build: {text}", file=sys.stderr, flush=True)


def run(command, what):
    started = time.monotonic()
    try:
        subprocess.check_call(command)
    except FileNotFoundError:
        sys.exit(f"bmpfun build: {command[0]} not found: the build needs CMake and a C++20 compiler "
                 "(scripts/setup-python.sh installs them)")
    except subprocess.CalledProcessError as e:
        sys.exit(f"bmpfun build: {what} failed (exit status {e.returncode}); its messages are above")
    say(f"{what}: done in {time.monotonic() - started:.0f} s")


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
            say(f"1/3 and 2/3: the module comes from the build in {build_dir}")
        else:
            build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
            jobs = str(os.cpu_count() or 1)
            say(f"1/3 configuring the library and the module with CMake in {build_dir}")
            run([
                "cmake", "-S", ROOT, "-B", build_dir,
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DBMPFUN_BUILD_PYTHON=ON",
                "-DBMPFUN_BUILD_TESTS=OFF",
                # The module must fit the interpreter that will import it, not whichever
                # python3 comes first on PATH.
                f"-DPython3_EXECUTABLE={sys.executable}",
            ], "configuring")
            say(f"2/3 compiling the library and the module on {jobs} cores "
                "(35 s on a quiet 2-core machine, about 60 s of processor time; [ NN%] lines count the files)")
            run(["cmake", "--build", build_dir, "--target", "bmpfun_python", "-j", jobs], "compiling")
        built = os.path.join(build_dir, "python", "stage", "bmpfun", "_bmpfun" + suffix)
        if not os.path.isfile(built):
            sys.exit(f"setup.py: no module {built} (BMPFUN_PYTHON_BUILD_DIR names a build whose "
                     f"target bmpfun_python is made for {sys.executable}'s ABI)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        say(f"3/3 the module is {target}")


setup(ext_modules=[CMakeExtension("bmpfun._bmpfun")], cmdclass={"build_ext": CMakeBuild})
