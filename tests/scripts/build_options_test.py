"""The build's library kind as a packager chooses it: CMake's own BUILD_SHARED_LIBS decides when
it is given, and QUORBITAL_SHARED_LIBS (shared by default) otherwise. Each case configures the
source tree into a folder of its own, without tests or benchmarks, and reads what the generated
build would make of the foundation library."""
import os
import subprocess
import sys
import tempfile

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

CASES = [
    ("no option: shared", [], "libquorbital_foundation.so"),
    ("BUILD_SHARED_LIBS=OFF", ["-DBUILD_SHARED_LIBS=OFF"], "libquorbital_foundation.a"),
    ("QUORBITAL_SHARED_LIBS=OFF", ["-DQUORBITAL_SHARED_LIBS=OFF"], "libquorbital_foundation.a"),
    ("BUILD_SHARED_LIBS wins", ["-DBUILD_SHARED_LIBS=ON", "-DQUORBITAL_SHARED_LIBS=OFF"], "libquorbital_foundation.so"),
]


def main():
    failures = []
    for name, options, expected in CASES:
        with tempfile.TemporaryDirectory() as build:
            configured = subprocess.run(
                ["cmake", "-S", SOURCE, "-B", build, "-G", "Ninja", "-DQUORBITAL_BUILD_TESTS=OFF",
                 "-DQUORBITAL_BUILD_BENCHMARKS=OFF"] + options,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
            if configured.returncode != 0:
                failures.append(f"{name}: configure failed\n{configured.stdout[-2000:]}")
                continue
            with open(os.path.join(build, "build.ninja")) as ninja:
                rules = ninja.read()
            if expected not in rules:
                failures.append(f"{name}: the build makes no {expected}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
