"""Build of arborlib: five C++ extension modules compiled against the installed PyTorch.

The extensions are tied to the C++ ABI of the torch they are compiled against, so torch is
installed first and the build runs without isolation (an isolated build would fetch another
torch, or fail to find one):

    pip install torch==<version>
    pip install --no-build-isolation .                     # install from a checkout or an sdist
    python setup.py sdist                                  # dist/arborlib-<v>.tar.gz
    pip wheel --no-build-isolation --no-deps -w dist .     # dist/arborlib-<v>-<tags>.whl

(`python -m build` run from the checkout imports the ninja folder build/ instead of the
build tool once an in-place build has made it.)

The version (pyproject.toml's), the torch version used and its C++ ABI are written to
arborlib/build_info.json; torch and the ABI are checked when an extension module is imported, and the
torch version is pinned in the wheel's requirements. Development (in-place builds, tests) goes
through tools/setup_env.sh, which tools/test.sh and tools/main_job.sh run; see that file.

ARBORLIB_DEBUG=1 gives an unoptimised build with debug symbols.
"""
import glob
import json
import os
import sys

try:
    import torch
    from torch.utils.cpp_extension import BuildExtension, CppExtension
except ImportError:
    sys.exit(
        "arborlib: torch is not importable in this build environment. arborlib's extensions are "
        "compiled against the torch you run them with: install torch first, then build with "
        "`pip install --no-build-isolation ...` (or `pip wheel --no-build-isolation ...`)."
    )

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))

# import name -> source folder under arborlib/
MODULES = {
    "arbor_settings": "settings",
    "dendrite_engine": "dendrite_engine",
    "fused_layers": "fused_layers",
    "net_toolkit": "net_toolkit",
    "slim_restore": "slim_restore",
}

# Public version only: a local label (+cpu, +cu121) does not change the C++ ABI of the release.
TORCH_VERSION = torch.__version__.split("+")[0]

DEBUG = os.environ.get("ARBORLIB_DEBUG", "0") not in ("", "0")
# Python's default CFLAGS carry -g; -g0 after it keeps objects small and builds fast.
CXX_FLAGS = ["-O0", "-g"] if DEBUG else ["-O2", "-g0"]
# Per-module flags after CXX_FLAGS (the later -O wins); none in a debug build. The engine's
# moment loops are written to be vectorised, which -O3 does.
MODULE_FLAGS = {} if DEBUG else {"dendrite_engine": ["-O3"]}


def extension(name, folder):
    sources = sorted(
        os.path.relpath(p, HERE).replace(os.sep, "/")
        for p in glob.glob(os.path.join(HERE, "arborlib", folder, "*.cpp"))
    )
    return CppExtension(
        f"arborlib.{name}",
        sources,
        include_dirs=[os.path.join(HERE, "arborlib")],
        extra_compile_args={"cxx": CXX_FLAGS + MODULE_FLAGS.get(name, [])},
    )


class BuildWithTorchRecord(BuildExtension):
    """Writes arborlib/build_info.json beside the built modules (in place or in the wheel); a
    data file, so an sdist made from a built checkout does not carry a stale one."""

    def run(self):
        super().run()
        target = os.path.dirname(self.get_ext_fullpath("arborlib.arbor_settings"))
        os.makedirs(target, exist_ok=True)
        with open(os.path.join(target, "build_info.json"), "w") as f:
            json.dump({"version": self.distribution.get_version(), "torch": TORCH_VERSION,
                       "cxx11_abi": bool(torch._C._GLIBCXX_USE_CXX11_ABI)}, f)
            f.write("\n")


setup(
    packages=["arborlib"],
    # The C++ sources and headers travel in the sdist (MANIFEST.in), not into the install.
    include_package_data=False,
    package_data={"arborlib": ["py.typed", "*.pyi"]},
    install_requires=[f"torch=={TORCH_VERSION}", "numpy", "safetensors"],
    ext_modules=[extension(n, f) for n, f in MODULES.items()],
    cmdclass={"build_ext": BuildWithTorchRecord.with_options(use_ninja=True)},
)
