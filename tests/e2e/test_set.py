"""End-to-end tests of orvcred set, run as a user runs it (under Wine for the
Windows build): values read from standard input become protected values in
their own lines, every other byte of the keystore kept; a refusal leaves the
file as it was; no value is ever written in plain text."""

import os
import re
import select
import subprocess
import unittest

from harness import CRED, WINDOWS, Result, Scratch
from test_orvseal import KEYSTORE

NEW_VALUES = ["new ldap pw #1", "added-one", "added-two"]


class SetTest(unittest.TestCase):
    def setUp(self):
        self.s = Scratch(self, "orvcred-set-")
        self.s.write("initial.key", "e2e initial key\n")
        self.s.write("other.key", "another key\n")

    def protect(self, body=KEYSTORE):
        self.s.write("keystore.conf", body)
        r = self.s.run("-f", "keystore.conf", "-sf", "initial.key")
        self.assertEqual(r.returncode, 0, r)
        return self.s.read("keystore.conf")

    def set(self, *names, values=(), raw=None, key="initial.key", check=False):
        data = raw if raw is not None else "".join(v + "\n" for v in values).encode()
        args = ["set", "-f", "keystore.conf", "-sf", key] + (["--check"] if check else [])
        return Result(self.s.run(*args, *names, exe=CRED, input=data))

    def reveal(self, *keys):
        r = Result(self.s.run("reveal", "-f", "keystore.conf", "-sf", "initial.key", *keys,
                              exe=CRED))
        self.assertEqual(r.code, 0, r)
        return r.stdout.splitlines()

    def assert_nowhere_in_plain_text(self, values):
        for folder, _, files in os.walk(self.s.dir):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    content = f.read()
                for value in values:
                    self.assertNotIn(value.encode(), content, name)

    def test_replaces_appends_and_leaves_an_unchanged_file_alone(self):
        before = self.protect().decode().splitlines()
        names = ("crl.ldap.pass", "pem.password.new", "pkcs11.token_pin2")
        r = self.set(*names, values=NEW_VALUES)
        self.assertEqual((r.code, r.stdout.splitlines()), (0, [n + ": changed" for n in names]), r)
        after = self.s.text("keystore.conf").splitlines()
        for old, new in zip(before, after):
            if old.startswith("crl.ldap.pass "):
                self.assertRegex(new, r"^crl\.ldap\.pass = <ORV>\S+   # trailing comment$")
                self.assertNotEqual(old, new)
            else:
                self.assertEqual(old, new)
        self.assertEqual([re.sub(r"<ORV>\S+", "<ORV>", line) for line in after[len(before):]],
                         ["pem.encrypted = YES", "pem.password.new = <ORV>",
                          "pkcs11.encrypted = YES", "pkcs11.token_pin2 = <ORV>"])
        self.assertEqual(self.reveal(*names), NEW_VALUES)
        check = Result(self.s.run("check", "-f", "keystore.conf", "-sf", "initial.key", exe=CRED))
        self.assertEqual(check.code, 0, check)
        # The same values again, and a check of another: nothing is written.
        stat = os.stat(self.s.path("keystore.conf"))
        r = self.set(*names, values=NEW_VALUES)
        self.assertEqual(r.stdout.splitlines(), [n + ": unchanged" for n in names], r)
        r = self.set("crl.ldap.pass", "pem.password", values=["other-value", "pem-secret-1"], check=True)
        self.assertEqual(r.stdout.splitlines(), ["crl.ldap.pass: changed", "pem.password: unchanged"])
        again = os.stat(self.s.path("keystore.conf"))
        self.assertEqual((again.st_ino, again.st_mtime_ns), (stat.st_ino, stat.st_mtime_ns))
        self.assertEqual(sorted(os.listdir(self.s.dir)),
                         ["home", "initial.key", "keystore.conf", "other.key"])
        self.assert_nowhere_in_plain_text(NEW_VALUES + ["other-value"])

    def test_keeps_the_files_line_ends_and_its_flag_lines(self):
        cases = [
            # A plaintext behind a YES flag is replaced in place; the last
            # line gets its line end before what is appended.
            ("pem.encrypted = YES\r\n  pem.password = old  # main\r\n# last",
             ("pem.password", "pem.password.b"),
             "pem.encrypted = YES\r\n  pem.password = <ORV>  # main\r\n# last\r\n"
             "pem.encrypted = YES\r\npem.password.b = <ORV>\r\n"),
            # A flag that says NO before the line makes way for one that says YES;
            # an empty value gets one.
            ("pkcs11.encrypted = NO\npkcs11.token_pin = 1\ncrl.ldap.pass =\n",
             ("pkcs11.token_pin", "crl.ldap.pass"),
             "pkcs11.encrypted = YES\npkcs11.token_pin = <ORV>\ncrl.encrypted = YES\n"
             "crl.ldap.pass = <ORV>\n"),
        ]
        for body, names, expected in cases:
            self.s.write("keystore.conf", body)
            r = self.set(*names, values=[" v 1 ", "v#2"])
            self.assertEqual(r.code, 0, r)
            got = re.sub(r"<ORV>[^\s]+", "<ORV>", self.s.read("keystore.conf").decode())
            self.assertEqual(got, expected)
            self.assertEqual(self.reveal(*names), [" v 1 ", "v#2"])

    def test_refusals_leave_the_file_untouched(self):
        protected = self.protect().decode()
        cases = [  # keystore, names, standard input, key, exit code, message
            (protected, ["pkcs11.token_pin"], b"\n", "initial.key", 9, "ORV9210E"),
            (protected, ["pkcs11.token_pin"], b"sec\rret\n", "initial.key", 9, "ORV9210E"),
            (protected, ["pkcs11.token_pin"], b"sec\0ret\n", "initial.key", 9, "ORV9210E"),
            (protected, ["pkcs11.token_pin"], b"s" * 4097 + b"\n", "initial.key", 9, "ORV9210E"),
            (protected, ["pkcs11.token_pin", "crl.ldap.pass"], b"secret\n", "initial.key", 9,
             "ORV9210E"),
            (protected, ["pkcs11.token_pin", "pkcs11.token_pin"], b"secret\nsecret\n",
             "initial.key", 10, "ORV9210E"),
            (protected, ["pem.keystore"], b"secret\n", "initial.key", 10, "ORV920EE"),
            (protected, ["pem.encrypted"], b"secret\n", "initial.key", 10, "ORV920EE"),
            (protected, ["pem.password x"], b"secret\n", "initial.key", 10, "ORV920EE"),
            (protected, ["pem.password"], b"secret\n", "other.key", 3, "ORV9201E"),
            ("pem.password = a\npem.password = b\n", ["pem.password"], b"secret\n",
             "initial.key", 5, "ORV920FE"),
            (KEYSTORE, ["pem.password"], b"secret\n", "initial.key", 6, "ORV9211E"),
            ("pem.password extra = a\n", ["pem.password.x"], b"secret\n", "initial.key", 21,
             "ORV910FE"),
        ]
        for body, names, data, key, code, message in cases:
            self.s.write("keystore.conf", body)
            r = self.set(*names, raw=data, key=key)
            self.assertEqual(r.code, code, (names, data, r))
            self.assertIn(message, r.ids, (names, r))
            self.assertEqual(self.s.text("keystore.conf"), body)
            self.assertNotIn("secret", r.stdout + r.stderr)
            self.assertEqual(len(os.listdir(self.s.dir)), 4)

    @unittest.skipIf(WINDOWS, "a pseudo-terminal is a POSIX device")
    def test_a_terminal_is_asked_twice_without_echo(self):
        import pty
        self.protect()
        for typed, code in ((b"pin-5150", 0), (b"pin-9090", 9)):
            master, slave = pty.openpty()
            process = subprocess.Popen(
                [CRED, "set", "-f", "keystore.conf", "-sf", "initial.key", "pkcs11.token_pin"],
                cwd=self.s.dir, env=self.s.env, stdin=slave, stderr=slave,
                stdout=subprocess.PIPE)
            os.close(slave)
            seen = b""
            for prompt, answer in ((b"pkcs11.token_pin: ", b"pin-5150"), (b"again: ", typed)):
                while prompt not in seen:
                    self.assertTrue(select.select([master], [], [], 30)[0], seen)
                    seen += os.read(master, 1024)
                os.write(master, answer + b"\n")
            out = process.communicate(timeout=60)[0]
            try:
                while select.select([master], [], [], 0.2)[0]:
                    seen += os.read(master, 1024)
            except OSError:  # the terminal is gone with the program
                pass
            os.close(master)
            process.stdout.close()
            self.assertEqual(process.returncode, code, seen)
            self.assertNotIn(b"pin-", seen + out)
        self.assertEqual(self.reveal("pkcs11.token_pin"), ["pin-5150"])


if __name__ == "__main__":
    unittest.main(verbosity=1)
