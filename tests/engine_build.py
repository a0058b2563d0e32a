"""The CMake build of the engine's C++ tests and fuzz targets that the slow and
stress tiers run.

It lives in the checkout's build/ folder, one per interpreter (the Unicode
tables come from the building interpreter), so the README's test command and
the stress tier after it share one build, and a second run only relinks what
changed. It is started in the background as soon as collection shows a test
that needs it: it compiles on one core while the Python tests run on the
other, and those tests run last."""

import contextlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / "build" / f"engine-tests-{sys.implementation.cache_tag}{sys.abiflags}"
ENGINE_TARGETS = ("engine_tests",)
FUZZ_TARGETS = ("fuzz_processor_state", "fuzz_match_state", "fuzz_extract")
# Below the tests' own priority: the build takes the core they leave idle.
NICENESS = 10


def configure_command(build):
    command = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
               "-DFERNQUILL_BUILD_MODULE=OFF", "-DFERNQUILL_BUILD_TESTS=ON",
               # The fuzz targets on the plain mutation driver, which any compiler builds.
               "-DFERNQUILL_BUILD_FUZZ=ON", "-DFERNQUILL_FUZZ_ENGINE=driver",
               # The tables come from this interpreter's Unicode data, as the
               # tests' expectations do.
               f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        command += ["-G", "Ninja"]
    if shutil.which("ccache") and "CMAKE_CXX_COMPILER_LAUNCHER" not in os.environ:
        command.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    return command


# Run by a child Python, so that the build goes on while the tests run:
# configure (afresh when the folder holds another checkout's cache), then
# build the targets, all under a lock so two sessions never build at once.
SCRIPT = """
import fcntl, json, os, shutil, subprocess, sys
build, configure, targets = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3:]
os.makedirs(build, exist_ok=True)
with open(os.path.join(build, ".lock"), "w") as lock:
    fcntl.flock(lock, fcntl.LOCK_EX)
    if subprocess.run(configure).returncode != 0:
        shutil.rmtree(os.path.join(build, "CMakeFiles"), ignore_errors=True)
        if os.path.exists(os.path.join(build, "CMakeCache.txt")):
            os.remove(os.path.join(build, "CMakeCache.txt"))
        subprocess.run(configure, check=True)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", *targets], check=True)
"""


class EngineBuild:
    """One background build of the given targets into BUILD_DIR."""

    def __init__(self, targets, build=BUILD_DIR):
        self.targets, self.build = tuple(targets), pathlib.Path(build)
        self.log = self.build.parent / f"{self.build.name}.log"
        self.process = None

    def start(self):
        if shutil.which("cmake") is None:
            return
        self.build.parent.mkdir(parents=True, exist_ok=True)
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-c", SCRIPT, str(self.build), json.dumps(configure_command(self.build)),
                 *self.targets],
                stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                preexec_fn=lambda: os.nice(NICENESS))

    def wait(self):
        """The build folder once the build is done; None without cmake.
        Raises RuntimeError with the build's output when it failed."""
        if self.process is None:
            return None
        if self.process.wait() != 0:
            raise RuntimeError(f"the engine build failed (log: {self.log}):\n"
                               + self.log.read_text(errors="replace")[-5000:])
        return self.build

    def stop(self):
        """Ends a build still running when the session ends early."""
        if self.process is not None and self.process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait()


def targets_needed(fixturenames, environ=os.environ):
    """The targets the collected tests' fixtures need, leaving out the ones
    given built through the environment."""
    wanted = set()
    for names in fixturenames:
        if "engine_tests_binary" in names and not environ.get("FERNQUILL_ENGINE_TESTS"):
            wanted.update(ENGINE_TARGETS)
        if "fuzz_build" in names and not environ.get("FERNQUILL_FUZZ_BUILD"):
            wanted.update(FUZZ_TARGETS)
    return sorted(wanted)

