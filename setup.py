"""Build for arborlib: five C++ extension modules compiled against the installed PyTorch.

Install torch first, then build without isolation (an isolated build would fetch
another torch):

    pip install --no-build-isolation -e .

Set ARBORLIB_DEBUG=1 for an unoptimised build with debug symbols.
"""
import glob
import os

from setuptools import find_packages, setup
from torch.utils.cpp_extension import BuildExtension, CppExtension

HERE = os.path.dirname(os.path.abspath(__file__))

# import name -> source folder under arborlib/
MODULES = {
    "arbor_settings": "settings",
    "dendrite_engine": "dendrite_engine",
    "fused_layers": "fused_layers",
    "net_toolkit": "net_toolkit",
    "slim_restore": "slim_restore",
}

DEBUG = os.environ.get("ARBORLIB_DEBUG", "0") not in ("", "0")
# Python's default CFLAGS carry -g; -g0 after it keeps objects small and builds fast.
CXX_FLAGS = ["-O0", "-g"] if DEBUG else ["-O2", "-g0"]
CXX_FLAGS += ["-Wno-c++20-extensions"]


def extension(name, folder):
    sources = sorted(
        os.path.relpath(p, HERE)
        for p in glob.glob(os.path.join(HERE, "arborlib", folder, "*.cpp"))
    )
    return CppExtension(
        f"arborlib.{name}",
        sources,
        include_dirs=[os.path.join(HERE, "arborlib")],
        extra_compile_args={"cxx": CXX_FLAGS},
    )


setup(
    packages=find_packages(include=["arborlib", "arborlib.*", "arborai", "arborai.*"]),
    ext_modules=[extension(n, f) for n, f in MODULES.items()],
    cmdclass={"build_ext": BuildExtension.with_options(use_ninja=True)},
)
