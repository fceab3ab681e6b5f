"""End-to-end tests: orvseal, orvcred check, reveal and rekey read a keystore
alike, because they read it through one classifier. Run as a user runs them
(under Wine for the Windows build); the environment names what to run: see
harness.py."""

import os
import random
import re
import unittest

from harness import CRED, WINDOWS, Result, Scratch, host_path

BOM = b"\xef\xbb\xbf"
CREDENTIAL_KEYS = ("pem.password", "pem.password.channel", "crl.ldap.pass2", "pkcs11.token_pin")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def source_text(path):
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        return f.read()


def section(text, title):
    """A manual page's section, up to the next .SH."""
    return text.split(".SH " + title + "\n", 1)[1].split("\n.SH ", 1)[0]


def numbers(first, last=None):
    return set(range(int(first), int(last or first) + 1))


def documented_exit_codes():
    """Every exit status that the README and the manual pages name."""
    codes = {}
    orvseal = section(source_text("doc/man/orvseal.1.in"), "EXIT STATUS")
    for item in re.findall(r"^\.TP\n\.B (\S+)$", orvseal, re.M):
        first, _, last = item.replace("128+n", "128").partition("\\(en")
        codes.setdefault("orvseal(1)", set()).update(numbers(first, last))
    for first, last in re.findall(r"(?:^|; )(\d+)(?: to (\d+))? ",
                                  section(source_text("doc/man/orvcred.1.in"), "EXIT STATUS")):
        codes.setdefault("orvcred(1)", set()).update(numbers(first, last))
    readme = source_text("README.md")
    listed = re.findall(r"\(exit\s+([\d,\s]+)", readme)
    listed += re.findall(r"exits ((?:\d+ \([^)]*\),?\s*(?:or\s+)?)+)", readme)
    for text in listed:
        codes.setdefault("README.md", set()).update(int(n) for n in re.findall(r"\b\d+\b", text))
    return codes


def table_exit_codes():
    """The exit column of every row of platform/results.h."""
    rows = re.findall(r"XX\((\w+), ([^,]+), (\d+),", source_text("platform/results.h"))
    return {int(exit) for _, _, exit in rows}


class AgreementTest(unittest.TestCase):
    def setUp(self):
        self.s = Scratch(self, "orvseal-agree-")
        self.s.write("k.key", "agreement key\n")

    def seal(self, *args, env=None):
        return Result(self.s.run(*args, env=env))

    def cred(self, *args, env=None):
        return Result(self.s.run(*args, exe=CRED, env=env))

    def test_every_documented_exit_code_comes_from_the_table_of_results(self):
        table = table_exit_codes()
        documented = documented_exit_codes()
        self.assertEqual(set(documented), {"orvseal(1)", "orvcred(1)", "README.md"})
        self.assertTrue({0, 1, 10, 15, 60, 68, 84, 128, 255} <= documented["orvseal(1)"])
        self.assertTrue({2, 9, 10} <= documented["orvcred(1)"])
        self.assertTrue({1, 2, 12, 17, 25, 84} <= documented["README.md"])
        for where, codes in documented.items():
            self.assertEqual(codes - table, set(), where)

    def test_every_reader_refuses_or_takes_a_keystore_alike(self):
        long_name = "k" * 300
        cases = [  # name, keystore, exit code and messages of every reader
            ("words between the key and '='", b"pem.password extra = v\n", 21, ["ORV910FE"]),
            ("a NUL byte before the key file line",
             b"a = 1\0\norvcred.keyfile = k.key\npem.password = x\n", 19, ["ORV910AE"]),
            ("the key file line without '='", b"orvcred.keyfile k.key\npem.password = x\n", 11,
             ["ORV9111E"]),
            ("a byte order mark at the start of a later line",
             b"a = 1\n" + BOM + b"pem.password = X-secret\n", 19, ["ORV9116E"]),
            ("a byte order mark twice at the start", BOM + BOM + b"pem.password = X-secret\n",
             19, ["ORV9116E"]),
            ("an over-long key file name", b"orvcred.keyfile = " + long_name.encode() + b"\n",
             16, ["ORV9112E"]),
            ("a key file named twice", b"orvcred.keyfile = k.key\n" * 2, 15, ["ORV9060E"]),
            ("words between the key file's key and '='",
             b"orvcred.keyfile extra = k.key\npem.password = X-secret\n", 21, ["ORV910FE"]),
            ("the key file line with no value", b"orvcred.keyfile =\npem.password = x\n", 11,
             ["ORV9111E"]),
            ("a lone carriage return", b"a = 1\rpem.password = X-secret\r", 19, ["ORV910DE"]),
            ("UTF-16", "pem.password = X-secret\n".encode("utf-16"), 19, ["ORV910EE"]),
        ]
        trace = self.s.path("trace.log")
        for name, text, code, ids in cases:
            self.s.write("ks.conf", text)
            runs = {"orvseal": self.seal("-f", "ks.conf"),
                    "check": self.cred("check", "-f", "ks.conf"),
                    "reveal": self.cred("reveal", "-f", "ks.conf", "pem.password",
                                        env={"VKT_TRACE": host_path(trace)})}
            for reader, r in runs.items():
                self.assertEqual((r.code, r.ids), (code, ids), (name, reader, r))
                self.assertNotIn("X-secret", r.stdout + r.stderr)
            self.assertEqual(self.s.read("ks.conf"), text, name)
        self.assertNotIn(b"X-secret", self.s.read("trace.log"))

    def test_a_named_key_file_is_used_beside_lines_no_reader_takes(self):
        # Lines the configuration reader cannot read hold nothing; with the key
        # file named in one clear line, every reader uses it and says so.
        self.s.write("store/k.key", "the keystore's key\n")
        text = b"[main]\n; note\npem.keystore =\norvcred.keyfile = k.key\npem.password = v1\n"
        self.s.write("store/ks.conf", text)
        r = self.seal("-f", host_path(self.s.path("store/ks.conf")))
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I", "ORV911DW"]), r)
        self.assertIn("Line 1 of", r.stderr)
        r = self.cred("reveal", "-f", host_path(self.s.path("store/ks.conf")), "pem.password")
        self.assertEqual((r.code, r.stdout), (0, "v1\n"), r)
        r = self.cred("check", "-f", host_path(self.s.path("store/ks.conf")))
        self.assertEqual((r.code, r.ids), (0, ["ORV911DW", "ORV9207I"]), r)

    def test_a_byte_order_mark_begins_the_first_key_for_no_reader(self):
        self.s.write("ks.conf", BOM + b"pem.password = plain\r\nother = 1\r\n")
        self.assertEqual(self.cred("check", "-f", "ks.conf", "-sf", "k.key").code, 2)
        self.assertEqual(self.seal("-f", "ks.conf", "-sf", "k.key").code, 0)
        text = self.s.read("ks.conf")
        self.assertTrue(text.startswith(BOM + b"pem.encrypted = YES\r\npem.password = <ORV>2!"))
        self.assertEqual(self.cred("check", "-f", "ks.conf", "-sf", "k.key").code, 0)
        # rekey takes the next free side file name as orvseal does, and keeps the mark.
        self.s.write("ks.conf.bak", "someone else's file\n")
        self.s.write("new.key", "the new key\n")
        r = self.cred("rekey", "-f", "ks.conf", "-sf", "k.key", "-nf", "new.key")
        self.assertEqual((r.code, r.ids), (0, ["ORV9203I"]), r)
        self.assertEqual(self.s.text("ks.conf.bak"), "someone else's file\n")
        self.assertTrue(self.s.read("ks.conf").startswith(BOM + b"pem.encrypted = YES\r\n"))
        r = self.cred("reveal", "-f", "ks.conf", "-sf", "new.key", "pem.password")
        self.assertEqual((r.code, r.stdout), (0, "plain\n"), r)
        # Again to the key and algorithm in use: nothing to do, nothing touched.
        inode = os.stat(self.s.path("ks.conf")).st_ino
        r = self.cred("rekey", "-f", "ks.conf", "-sf", "new.key", "-nf", "new.key")
        self.assertEqual((r.code, r.ids), (0, ["ORV920CI"]), r)
        self.assertEqual(os.stat(self.s.path("ks.conf")).st_ino, inode)

    def test_rekey_writes_only_key_file_names_that_read_back(self):
        names = ["new #2.key", " lead.key", "x" * 270]
        if not WINDOWS:
            names.append("line\nfeed.key")
        self.s.write("ks.conf", "orvcred.keyfile = k.key\npem.password = v\n")
        self.assertEqual(self.seal("-f", "ks.conf").code, 0)
        before = self.s.read("ks.conf")
        for name in names:
            r = self.cred("rekey", "-f", "ks.conf", "-nf", name)
            self.assertEqual((r.code, r.ids), (10, ["ORV9208E"]), (name, r))
            self.assertEqual(self.s.read("ks.conf"), before)

    def test_a_plaintext_that_orvseal_leaves_has_a_code_of_its_own(self):
        self.s.write("ks.conf", "a = 1\npem.encrypted = YES\npem.password = typed-in\n")
        inode = os.stat(self.s.path("ks.conf")).st_ino
        for _ in range(2):
            r = self.seal("-f", "ks.conf", "-sf", "k.key")
            self.assertEqual((r.code, r.ids), (0, ["ORV9105I", "ORV9110W"]), r)
            self.assertIn("Line 3 of 'ks.conf' holds a plaintext 'pem.password' after the flag "
                          "line 2", r.stderr)
            self.assertIn("are protected, except 1 left in plaintext", r.stdout)
            # Nothing to do, nothing touched: the same file, not a copy.
            self.assertEqual(os.stat(self.s.path("ks.conf")).st_ino, inode)
            r = self.cred("check", "-f", "ks.conf", "-sf", "k.key")
            self.assertEqual((r.code, r.ids), (6, ["ORV9110W"]), r)
        self.assertNotIn("typed-in", r.stdout + r.stderr)

    def test_check_orvseal_and_the_library_agree_on_random_keystores(self):
        """On random keystores: check lists exactly the credential lines,
        says 0 exactly when orvseal changes nothing, 2 when it protects or
        drops a line, 6 when it leaves a plaintext behind a YES flag, 8 for a
        credential key given twice, and orvseal's code where orvseal refuses
        the file; the library (reveal) reads what orvseal protected as the
        whole value."""
        rng = random.Random(20261207)
        keys = list(CREDENTIAL_KEYS) + [
                "pem.encrypted", "crl.encrypted", "pem.password.channel.encrypted",
                "ldap.server", "#pem.password", "PEM.password", "pem.passwor"]
        values = ["YES", "yes", "NO", "s3cr#t", "two words", "a=b", "<ORV>x!y", "v"]
        for number in range(10 if WINDOWS else 20):
            lines, credentials = [], {}
            for i in range(rng.randint(1, 9)):
                key, value = rng.choice(keys), rng.choice(values)
                before = rng.choice(["", " ", "\t"])
                words = " extra" if rng.random() < 0.03 else ""
                comment = rng.choice(["", "", "  # note"])
                lines.append("%s%s%s = %s%s" % (before, key, words, value, comment))
                credentials[i + 1] = (key, value)
            end = rng.choice(["\n", "\r\n"])
            text = end.join(lines) + rng.choice([end, ""])
            self.s.write("in.conf", text)
            check = self.cred("check", "-f", "in.conf", "-sf", "k.key")
            seal = self.seal("-f", "in.conf", "-o", "out.conf", "-sf", "k.key")
            note = (number, text, check, seal)
            if seal.code != 0:
                self.assertEqual((check.code, check.ids), (seal.code, seal.ids), note)
                continue
            out = self.s.text("out.conf").replace("\r\n", "\n").split("\n") + [""]
            listed = {int(line.split(":")[1]): line.split(": ")[-1]
                      for line in check.stdout.split("\n") if line.startswith("in.conf:")}
            protected, j = {}, 0
            for n, line in enumerate(text.replace("\r\n", "\n").split("\n")[:len(lines)], 1):
                if out[j] == line:
                    j += 1
                elif out[j + 1].startswith(credentials[n][0].strip() + " = <ORV>"):
                    protected[n] = credentials[n]
                    self.assertIn(listed.get(n), ("plaintext", "repeated"), note)
                    j += 2
            self.assertFalse({n for n, state in listed.items() if state == "plaintext"}
                             - set(protected), note)
            changed = self.s.read("out.conf") != text.encode()
            held = "plaintext behind a flag that says protected" in listed.values()
            keyed = [key.strip() for key, _ in credentials.values()]
            repeated = any(keyed.count(k) > 1 for k in CREDENTIAL_KEYS)
            self.assertEqual(check.code, 6 if held else 8 if repeated else 2 if changed else 0,
                             note)
            unique = [n for n, (key, _) in protected.items() if keyed.count(key.strip()) == 1]
            for n in unique[:1]:
                key, value = protected[n]
                r = self.cred("reveal", "-f", "out.conf", "-sf", "k.key", key.strip())
                self.assertEqual((r.code, r.stdout), (0, value + "\n"), note)


if __name__ == "__main__":
    unittest.main(verbosity=1)
