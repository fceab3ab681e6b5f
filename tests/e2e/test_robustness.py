"""Robustness of the real orvseal executable: interruption, and secret
hygiene on every path (full disks and exposed key files among them).

The environment names what to run (see harness.py), and
  ORV_KILL_POINTS    optional: how many moments of a run to kill it at (default 40)
"""

import os
import secrets
import signal
import stat
import subprocess
import time
import unittest

from harness import WINDOWS, Scratch, host_path

KILL_POINTS = int(os.environ.get("ORV_KILL_POINTS", "40"))


class Keystore:
    """A keystore of many lines, two in five a credential."""

    def __init__(self, lines):
        self.lines = lines
        self.credentials = {}
        self.others = []
        body = []
        for i in range(lines):
            if i % 5 in (1, 3):
                key = ("pem.password.%d" if i % 5 == 1 else "crl.ldap.pass.%d") % i
                self.credentials[key] = "kill-secret-%08d" % i
                body.append("%s = %s\n" % (key, self.credentials[key]))
            else:
                self.others.append("other.key.%d = plain value %d" % (i, i))
                body.append(self.others[-1] + "\n")
        self.text = "".join(body).encode()


@unittest.skipIf(WINDOWS, "SIGKILL and file-size limits act on the POSIX process; under Wine "
                          "they would hit Wine's own start-up and server instead of the run")
class InterruptionTest(unittest.TestCase):
    """Kills a real run at many moments of a large rewrite. The keystore must
    always be byte for byte as before or completely protected, and never
    missing."""

    def setUp(self):
        self.s = Scratch(self, "orvseal-robust-")
        self.key = self.s.write("initial.key", "interruption test key\n")
        self.store = Keystore(100000)

    def assert_whole(self, note):
        """The keystore as it was, or completely protected (read back value by
        value). Returns which."""
        self.assertTrue(os.path.exists(self.s.path("keystore.conf")), "missing: " + note)
        data = self.s.read("keystore.conf")
        if data == self.store.text:
            return "unchanged"
        # Completely protected: a flag line more for each credential, every
        # other line as it was, and every credential protected and readable.
        lines = data.decode().split("\n")
        self.assertEqual(len(lines) - 1, self.store.lines + len(self.store.credentials), note)
        self.assertEqual([line for line in lines if line.startswith("other.")], self.store.others)
        sample = dict(list(self.store.credentials.items())[::-20000])
        self.assertEqual(self.s.reveal("keystore.conf", self.key, sample), (0, sample), note)
        return "protected"

    def assert_side_file_safe(self, note):
        """A side file that a kill left is its owner's alone and holds no plaintext."""
        side = self.s.path("keystore.conf.bak")
        if os.path.exists(side):
            self.assertEqual(stat.S_IMODE(os.stat(side).st_mode), 0o600, note)
            data = self.s.read("keystore.conf.bak")
            self.assertFalse([v for v in list(self.store.credentials.values())[:50]
                              if v.encode() in data], note)
        return os.path.exists(side)

    def start(self):
        return subprocess.Popen(self.s.command("-f", "keystore.conf", "-sf", "initial.key"),
                                cwd=self.s.dir, env=self.s.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def test_kill_at_many_moments_of_a_large_rewrite(self):
        # How long a whole run takes here, and how large its output grows.
        self.s.write("keystore.conf", self.store.text)
        began = time.monotonic()
        completed = self.s.run("-f", "keystore.conf", "-sf", "initial.key")
        duration = time.monotonic() - began
        self.assertEqual(completed.returncode, 0, completed)
        self.assertEqual(self.assert_whole("a run that was not killed"), "protected")

        # Kill points spread over the whole run and a little beyond.
        points = [1.2 * duration * (i + 0.5) / KILL_POINTS for i in range(KILL_POINTS)]
        outcomes = {}
        for where in points:
            note = "kill at %.3f s" % where
            self.s.write("keystore.conf", self.store.text)
            process = self.start()
            time.sleep(where)
            finished = process.poll() is not None
            if not finished:
                process.send_signal(signal.SIGKILL)
            code = process.wait()
            if finished:
                self.assertEqual(code, 0, note)
            state = self.assert_whole(note)
            left = self.assert_side_file_safe(note)
            outcome = "completed" if finished else "%s%s" % (
                state, ", side file left" if left else "")
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            if left:
                os.unlink(self.s.path("keystore.conf.bak"))
        print("\n[ kill     ] %d kill points over a %.2f s run of %d lines: %s" % (
            len(points), duration, self.store.lines,
            ", ".join("%s %d" % item for item in sorted(outcomes.items()))))

class SecretHygieneTest(unittest.TestCase):
    """Canary credentials and a canary key, through every path a user can
    cause, tracing on: no canary in standard output, standard error, the trace
    or any file, except in protected form (and in the inputs: the keystore
    while it is unchanged, the key file)."""

    def setUp(self):
        self.s = Scratch(self, "orvseal-robust-")
        tag = secrets.token_hex(6)
        self.canaries = {key: "cnry%d%s" % (i, tag) for i, key in enumerate(
            ["pem.password", "pem.password.channel", "crl.ldap.pass", "pkcs11.token_pin"])}
        self.key_canary = "cnryKey%s" % tag
        self.key = self.s.write("initial.key", self.key_canary + "\n")
        self.body = ("pem.keystore = /etc/server.pem\n" + "other.key = value\n" +
                     "".join("%s = %s\n" % item for item in self.canaries.items()))
        self.checked_paths = 0
        self.inputs = {os.path.realpath(self.key)}

    def check_run(self, note, args, expected_code, env=None, keystore_body=None,
                  inputs=(), preexec_fn=None):
        """Runs orvseal with tracing on and scans everything it could have
        written. `inputs` are files that hold canaries by construction."""
        body = self.body if keystore_body is None else keystore_body
        self.s.write("keystore.conf", body)
        trace = self.s.path("trace.log")
        if os.path.exists(trace):
            os.unlink(trace)
        r = self.s.run(*args, env=dict(env or {}, VKT_TRACE=host_path(trace)),
                       preexec_fn=preexec_fn)
        self.assertEqual(r.returncode, expected_code, (note, r))
        self.assertTrue(os.path.exists(trace), "%s: tracing was on" % note)
        self.checked_paths += 1
        self.inputs |= {os.path.realpath(p) for p in inputs}
        found = {"stdout": r.stdout, "stderr": r.stderr}
        for folder, _, files in os.walk(self.s.dir):
            for path in (os.path.realpath(os.path.join(folder, f)) for f in files):
                with open(path, "rb") as f:
                    data = f.read()
                unchanged_keystore = path.endswith("keystore.conf") and data == (
                    body if isinstance(body, bytes) else body.encode())
                if path not in self.inputs and not unchanged_keystore:
                    found[path] = data
        for where, data in found.items():
            for canary in list(self.canaries.values()) + [self.key_canary]:
                self.assertNotIn(canary.encode(), data, "%s: in %s" % (note, where))
        return r

    def test_no_canary_escapes_on_any_path(self):
        s = self.s
        key = host_path(self.key)
        s.write("empty.key", "")
        exposed = s.write("exposed.key", self.key_canary + "\n", mode=0o644)
        self.inputs.add(os.path.realpath(exposed))

        self.check_run("success, side file", ["-f", "keystore.conf", "-sf", key], 0)
        self.assertEqual(s.reveal("keystore.conf", self.key, self.canaries), (0, self.canaries))
        self.check_run("success, -o", ["-f", "keystore.conf", "-o", "out.conf", "-sf", key], 0)
        self.check_run("key from the stanza", ["-f", "keystore.conf"], 0,
                       keystore_body=self.body + "orvcred.keyfile = %s\n" % key)
        self.check_run("key from the environment", ["-f", "keystore.conf"], 0,
                       env={"VKT_ORVCRED_KEYFILE": key})
        self.check_run("default key, a line that is no entry", ["-f", "keystore.conf"], 0,
                       keystore_body="junk\n" + self.body)
        trace = self.s.read("trace.log")
        for text in [b"Key: 'other.key' , Value: 'value'", b"Key: 'pem.password' , Value: '****",
                     b"Failed to read orvcred parameter orvcred. Continuing with default key."]:
            self.assertIn(text, trace)
        self.check_run("bad option", ["-x", "y"], 10)
        self.check_run("missing keystore", ["-f", "missing.conf", "-sf", key], 12)
        self.check_run("empty keystore", ["-f", "empty.conf", "-sf", key], 12,
                       inputs=[s.write("empty.conf", "")])
        self.check_run("missing key file", ["-f", "keystore.conf", "-sf", "none.key"], 80)
        self.check_run("empty key file", ["-f", "keystore.conf", "-sf", "empty.key"], 81)
        self.check_run("exposed key file", ["-f", "keystore.conf", "-sf", host_path(exposed)], 83,
                       inputs=[exposed])
        self.check_run("output not creatable",
                       ["-f", "keystore.conf", "-o", host_path(s.path("no/dir/out.conf")),
                        "-sf", key], 1)
        self.check_run("NUL byte after the credentials", ["-f", "keystore.conf", "-sf", key], 19,
                       keystore_body=self.body.encode() + b"binary = a\0b\n")
        if not WINDOWS:
            import resource

            def full_disk():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (150, 150))
            self.check_run("disk full, side file", ["-f", "keystore.conf", "-sf", key], 17,
                           preexec_fn=full_disk)
            self.check_run("disk full, -o", ["-f", "keystore.conf", "-o", "out.conf", "-sf", key],
                           17, preexec_fn=full_disk)
            # A value the service refuses (beyond 64 MiB): the run fails on it,
            # and the output must not hold it in plaintext.
            huge = self.body + "pkcs11.token_pin = %s%s\n" % (self.canaries["pkcs11.token_pin"],
                                                              "h" * (64 * 1024 * 1024))
            self.check_run("value beyond the service's limit, -o",
                           ["-f", "keystore.conf", "-o", "out.conf", "-sf", key], 65,
                           keystore_body=huge)
        print("\n[ secrets  ] %d paths checked with canaries, tracing on" % self.checked_paths)


if __name__ == "__main__":
    unittest.main(verbosity=1)
