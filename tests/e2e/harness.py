"""What the end-to-end tests share: the programs under test, named by the
environment (ORV_EXE: orvseal; ORV_CRED_EXE: orvcred of the same build, which
reads protected values back; ORV_EMULATOR: Wine for the Windows build;
ORV_FILE_TOOL: the Windows build's orvseal_file_tool), and a scratch folder."""

import os
import re
import shutil
import subprocess
import tempfile

EXE = os.environ["ORV_EXE"]
CRED = os.environ["ORV_CRED_EXE"]
EMULATOR = os.environ.get("ORV_EMULATOR", "")
FILE_TOOL = os.environ.get("ORV_FILE_TOOL", "")
WINDOWS = EXE.lower().endswith(".exe")


def host_path(path):
    """The path as the program under test spells it."""
    if WINDOWS:
        return "Z:" + path.replace("/", "\\")
    return path


def message_ids(completed):
    """Message identifiers a run showed, sorted: the two streams interleave freely."""
    text = (completed.stdout + completed.stderr).decode("utf-8", "replace")
    return sorted(re.findall(r"^(ORV[0-9A-F]{4}[IWE]):", text.replace("\r\n", "\n"), re.MULTILINE))


class Result:
    """A finished run: exit code, both streams as text, the message identifiers."""

    def __init__(self, completed):
        self.code = completed.returncode
        self.stdout, self.stderr = (stream.decode("utf-8", "replace").replace("\r\n", "\n")
                                    for stream in (completed.stdout, completed.stderr))
        self.ids = message_ids(completed)

    def __repr__(self):
        return "exit %d\nstdout:\n%s\nstderr:\n%s" % (self.code, self.stdout, self.stderr)


class Scratch:
    """A scratch folder, removed after the test, with a home directory of its
    own and an environment free of the program's variables."""

    def __init__(self, test, prefix="orvseal-e2e-"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("VKT_") and k not in ("HOME", "HOMEDRIVE", "HOMEPATH")}
        self.env["HOME"] = self.path("home")
        os.makedirs(self.env["HOME"])
        if EMULATOR:
            # Wine reads arguments and file names in the locale's encoding.
            self.env["LC_ALL"] = "C.UTF-8"

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, content, mode=0o600):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        os.chmod(path, mode)
        return path

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def text(self, name):
        return self.read(name).decode()

    def command(self, *args, exe=None):
        return ([EMULATOR] if EMULATOR else []) + [exe or EXE] + list(args)

    def run(self, *args, env=None, preexec_fn=None, exe=None, input=None):
        """Runs orvseal (or exe) in the folder, with `input` (bytes) on its
        standard input, else none; returns the completed process."""
        environment = dict(self.env, **(env or {}))
        def start():
            return subprocess.run(self.command(*args, exe=exe), cwd=self.dir, env=environment,
                                  stdin=None if input is not None else subprocess.DEVNULL,
                                  input=input, capture_output=True,
                                  preexec_fn=preexec_fn, timeout=300)
        completed = start()
        # The program prints its copyright line before anything else, so a run
        # with no output at all never started: Wine failed to start it (seen
        # once while another Wine program ran). One more try, then the failure
        # is Wine's, and says so, never a silent pass.
        if EMULATOR and completed.returncode != 0 and not completed.stdout + completed.stderr:
            completed = start()
            if completed.returncode != 0 and not completed.stdout + completed.stderr:
                raise RuntimeError("Wine did not start the program (exit %d): %r"
                                   % (completed.returncode, completed))
        return completed

    def file_tool(self, *args):
        """Runs the Windows file tool; returns its output, stripped."""
        completed = subprocess.run([EMULATOR, FILE_TOOL] + list(args), cwd=self.dir,
                                   env=self.env, capture_output=True, timeout=300)
        return completed.stdout.decode().strip()

    def hold(self, name, share):
        """Opens a file in another process with a share mode; returns that
        process once it holds the file. Closing its input lets go."""
        held = subprocess.Popen([EMULATOR, FILE_TOOL, "hold", host_path(self.path(name)),
                                 str(share)], cwd=self.dir, env=self.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = held.stdout.readline().decode().strip()
        if line != "held":
            held.stdin.close()
            held.wait(timeout=60)
            raise RuntimeError("the file tool did not hold %s: %r" % (name, line))
        return held

    def reveal(self, name, key=None, keys=()):
        """Reads a file back with orvcred: every credential in it must be
        protected and readable (check), then each of `keys` is revealed.
        Returns (exit code of the first step that failed, or 0, {key: plaintext})."""
        where = ["-f", host_path(self.path(name))] + (["-sf", host_path(key)] if key else [])
        check = self.run("check", *where, exe=CRED)
        # 7: every value protected, with the built-in key.
        if check.returncode not in ((0, 7) if key is None else (0,)):
            return check.returncode, {}
        values = {}
        for wanted in keys:
            r = self.run("reveal", *where, wanted, exe=CRED)
            if r.returncode != 0:
                return r.returncode, values
            values[wanted] = r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")[:-1]
        return 0, values
