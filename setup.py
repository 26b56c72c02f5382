"""The extension of tsneloss is the project's CMake build: build_ext configures it
(or reuses the build folder TSNELOSS_CMAKE_BUILD_DIR names, such as build/dev), builds
the package's targets and installs its component "python" (the compiled boundary, the
module tsnelossvek.so and the host libraries libvq.so and libdrfl.so, all finding each
other through $ORIGIN) into the package folder of the build."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info

SOURCE = pathlib.Path(__file__).resolve().parent


def project_version():
    """The version set once, in the CMake project."""
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(tsnelossvek VERSION ([0-9.]+)", text).group(1)


class EggInfoInBuild(egg_info):
    """Metadata under build/ (ignored by git), not beside the package's sources."""

    def initialize_options(self):
        super().initialize_options()
        (SOURCE / "build").mkdir(exist_ok=True)
        self.egg_base = os.path.relpath(SOURCE / "build")


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.environ.get("TSNELOSS_CMAKE_BUILD_DIR")
        if build_dir:
            build_dir = pathlib.Path(build_dir).resolve()
        else:
            build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
            # The flags of the dev preset, whose numbers the tests check: no
            # contraction, no fast-math (set by the project itself).
            subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build_dir), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTSNE_BUILD_TESTS=OFF",
                            f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "tsneloss_python", "-j", jobs], check=True)
        package_dir = pathlib.Path(self.get_ext_fullpath(ext.name)).parent
        package_dir.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory() as staging:
            subprocess.run(["cmake", "--install", str(build_dir), "--component", "python", "--prefix", staging],
                           check=True, stdout=subprocess.DEVNULL)
            for built in (pathlib.Path(staging) / "tsneloss").iterdir():
                shutil.copy2(built, package_dir / built.name)


setup(version=project_version(), ext_modules=[Extension("tsneloss._core", sources=[])], cmdclass={"build_ext": CMakeBuild, "egg_info": EggInfoInBuild})
