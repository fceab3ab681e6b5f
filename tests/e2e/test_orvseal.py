"""End-to-end tests: the real orvseal executable, run as a user runs it.

The environment names what to run: see harness.py.
"""

import os
import shutil
import stat
import unittest

from harness import FILE_TOOL, WINDOWS, Result, Scratch, host_path

KEYSTORE = """\
# keystore of the message-security feature
pem.keystore = /etc/msgsec/server.pem
pem.password = pem-secret-1
pem.password.channel = channel-secret-2
crl.ldap.host = ldap.example.org
crl.ldap.pass = ldap-secret-3   # trailing comment
pkcs11.encrypted = NO
pkcs11.token_pin = 424242
"""

PLAINTEXTS = {
    "pem.password": "pem-secret-1",
    "pem.password.channel": "channel-secret-2",
    "crl.ldap.pass": "ldap-secret-3",
    "pkcs11.token_pin": "424242",
}

EXPECTED_SHAPE = [
    "# keystore of the message-security feature",
    "pem.keystore = /etc/msgsec/server.pem",
    "pem.encrypted = YES",
    "pem.password = <ORV>",
    "pem.password.channel.encrypted = YES",
    "pem.password.channel = <ORV>",
    "crl.ldap.host = ldap.example.org",
    "crl.encrypted = YES",
    "crl.ldap.pass = <ORV>",
    "pkcs11.encrypted = YES",
    "pkcs11.token_pin = <ORV>",
]


class OrvsealTest(unittest.TestCase):
    def setUp(self):
        self.s = Scratch(self)
        self.key = self.s.write("initial.key", "e2e initial key\n")

    def run_orvseal(self, *args, env=None):
        return Result(self.s.run(*args, env=env))

    def assert_result(self, r, code, ids, note=None):
        self.assertEqual((r.code, r.ids), (code, sorted(ids)), note or r)

    def assert_shape(self, name, algorithm="2"):
        lines = self.s.text(name).split("\n")
        self.assertEqual(lines.pop(), "", "the last line ends with a newline")
        self.assertEqual(len(lines), len(EXPECTED_SHAPE), self.s.text(name))
        for line, want in zip(lines, EXPECTED_SHAPE):
            if want.endswith("<ORV>"):
                self.assertRegex(line, "^" + want + algorithm +
                                 r"![A-Za-z0-9+/=]+![A-Za-z0-9+/=]*![A-Za-z0-9+/=]+(\s+#.*)?$")
            else:
                self.assertEqual(line, want)

    def assert_protected(self, name, key, plaintexts=PLAINTEXTS):
        self.assertEqual(self.s.reveal(name, key, plaintexts), (0, plaintexts))

    def assert_untouched(self, body, *others):
        """The keystore as it was, and nothing in the folder but it and `others`."""
        self.assertEqual(self.s.read("keystore.conf"), body if isinstance(body, bytes)
                         else body.encode())
        self.assertEqual(sorted(os.listdir(self.s.dir)),
                         sorted(["home", "initial.key", "keystore.conf"] + list(others)))

    def test_protects_every_credential_in_place_or_into_an_output(self):
        # Files named like a side file are the user's: left alone, and another
        # name taken.
        self.s.write("keystore.conf", KEYSTORE)
        self.s.write("keystore.conf.bak", "a backup of the user's own\n")
        os.makedirs(self.s.path("keystore.conf.1.bak/inside"))
        decoys = ["keystore.conf.bak", "keystore.conf.1.bak"]
        r = self.run_orvseal("-f", host_path(self.s.path("keystore.conf")), "-sf",
                             host_path(self.key))
        self.assert_result(r, 0, ["ORV9105I"])
        self.assertTrue(r.stdout.startswith("orvseal") and "Copyright" in r.stdout.split("\n")[0])
        self.assertIn("'%s'" % host_path(self.s.path("keystore.conf")), r.stdout)
        self.assert_shape("keystore.conf")
        self.assert_protected("keystore.conf", self.key)
        self.assertEqual(self.s.read("keystore.conf.bak"), b"a backup of the user's own\n")
        self.assertTrue(os.path.isdir(self.s.path("keystore.conf.1.bak/inside")))
        self.assert_untouched(self.s.read("keystore.conf"), *decoys)

        self.s.write("keystore.conf", KEYSTORE)
        r = self.run_orvseal("-f", "keystore.conf", "-o", "out.conf", "-sf", "initial.key",
                             "-sp", "1")
        self.assert_result(r, 0, ["ORV9105I"])
        self.assertIn("The credentials in 'keystore.conf' are protected.", r.stdout)
        self.assert_shape("out.conf", algorithm="1")
        self.assert_protected("out.conf", self.key)
        self.assert_untouched(KEYSTORE, "out.conf", *decoys)

    def test_command_line_errors_show_the_usage(self):
        self.s.write("keystore.conf", KEYSTORE)
        trace = self.s.path("trace.log")
        for args, ids in [(("-x", "y"), ["ORV7027E", "ORV3056I"]), (("-f",), ["ORV3056I"]),
                          (("-f", "keystore.conf", "-sp", "3"), ["ORV3056I"])]:
            r = self.run_orvseal(*args, env={"VKT_TRACE": host_path(trace)})
            self.assert_result(r, 10, ids, (args, r))
            self.assertIn("Copyright", r.stdout)
            self.assertIn("Usage: orvseal [-f keystore_file] [-o output_file] [-sp 1|2] "
                          "[-sf initial_key_file]", r.stdout)
        self.assertIn("The argument '-x' is not an option", self.run_orvseal("-x", "y").stderr)
        with open(trace) as f:
            self.assertIn("Supplied algorithm 3 was smaller than 0 or larger than the latest 2",
                          f.read())
        os.remove(trace)
        self.assert_untouched(KEYSTORE)

    def test_key_file_precedence(self):
        other = self.s.write("other.key", "another key")
        stanza = self.s.write("stanza.key", "the stanza's key")
        body = KEYSTORE + "orvcred.keyfile = %s\n" % host_path(stanza)
        cases = [
            (body, ("-sf", "initial.key"), {"VKT_ORVCRED_KEYFILE": host_path(other)}, self.key),
            (body, (), {"VKT_ORVCRED_KEYFILE": host_path(other)}, other),
            (body, (), {}, stanza),
            # No key file named anywhere: the built-in key, with a warning.
            (KEYSTORE + "orvcred.other = x\n", (), {}, None),
        ]
        for text, args, env, key in cases:
            self.s.write("keystore.conf", text)
            r = self.run_orvseal("-f", "keystore.conf", *args, env=env)
            self.assert_result(r, 0, ["ORV9105I"] + (["ORV6339W"] if key is None else []))
            self.assert_protected("keystore.conf", key)
            for wrong in {self.key, other, stanza} - {key}:
                self.assertNotEqual(self.s.reveal("keystore.conf", wrong)[0], 0, wrong)

        self.s.write("keystore.conf", KEYSTORE)
        missing = host_path(self.s.path("k/none.key"))
        r = self.run_orvseal("-f", "keystore.conf", "-sf", missing)
        self.assert_result(r, 80, ["ORV6335E"])
        # The base name, then the path tried and the system's reason.
        self.assertIn("The initial key file 'none.key' cannot be used: '%s' cannot be read ("
                      % missing, r.stderr)
        self.assert_untouched(KEYSTORE, "other.key", "stanza.key")

    def test_output_naming_the_keystore_by_another_text_replaces_it(self):
        outputs = ["keystore.conf", host_path(self.s.path("keystore.conf")),
                   "." + ("\\" if WINDOWS else "/") + "keystore.conf"]
        if WINDOWS:
            outputs.append("KEYSTORE.Conf")  # Windows file names ignore case
        else:
            os.symlink("keystore.conf", self.s.path("alias.conf"))
            outputs.append("alias.conf")
        for output in outputs:
            self.s.write("keystore.conf", KEYSTORE)
            r = self.run_orvseal("-f", "keystore.conf", "-o", output, "-sf", "initial.key")
            self.assertEqual(r.code, 0, (output, r))
            self.assert_shape("keystore.conf")
            self.assert_protected("keystore.conf", self.key)
            self.assertFalse(os.path.exists(self.s.path("keystore.conf.bak")))

    def test_path_too_long_for_the_side_file(self):
        # 257 characters in all: the path fits, the path and ".bak" do not.
        directory = self.s.dir
        while len(directory) < 257 - 30:
            directory = os.path.join(directory, "d" * min(100, 257 - 30 - len(directory)))
        os.makedirs(directory)
        name = "k" * (257 - len(host_path(directory)) - 1)
        keystore = os.path.join(directory, name)
        with open(keystore, "w") as f:
            f.write(KEYSTORE)
        r = self.run_orvseal("-f", host_path(keystore), "-sf", host_path(self.key))
        self.assert_result(r, 16, ["ORV9109E"])
        with open(keystore) as f:
            self.assertEqual(f.read(), KEYSTORE)
        self.assertEqual(os.listdir(directory), [name])

    def test_keystore_from_the_environment_and_the_home_directory(self):
        self.s.write("elsewhere.conf", KEYSTORE)
        r = self.run_orvseal("-sf", host_path(self.key),
                             env={"VKT_KEYSTORE_CONF": host_path(self.s.path("elsewhere.conf"))})
        self.assertEqual(r.code, 0, r)
        self.assert_shape("elsewhere.conf")

        if WINDOWS:
            prefix = os.environ.get("ORV_WINEPREFIX") or os.path.join(
                os.environ.get("TMPDIR", "/tmp"), "orvseal-wineprefix-%d" % os.getuid())
            users = os.path.join(prefix, "drive_c", "users")
            home = [os.path.join(users, u) for u in os.listdir(users) if u != "Public"][0]
        else:
            home = self.s.env["HOME"]
        vkt = os.path.join(home, ".vkt")
        os.makedirs(vkt, exist_ok=True)
        self.addCleanup(shutil.rmtree, vkt, True)
        with open(os.path.join(vkt, "keystore.conf"), "w") as f:
            f.write(KEYSTORE)
        self.assert_result(self.run_orvseal(), 0, ["ORV6339W", "ORV9105I"])
        with open(os.path.join(vkt, "keystore.conf"), "rb") as f:
            self.assertIn(b"pem.password = <ORV>2!", f.read())
        if not WINDOWS:
            del self.s.env["HOME"]
            self.assert_result(self.run_orvseal(), 15, [])

    @unittest.skipIf(WINDOWS, "Wine sets HOMEDRIVE and HOMEPATH from its own profile")
    def test_a_home_directory_too_long_is_refused(self):
        # Beyond 260 characters, and beyond any path buffer: refused alike, never
        # cut or taken for no home directory.
        for length in (300, 5000):
            r = self.run_orvseal(env={"HOME": "/" + "h" * length})
            self.assert_result(r, 16, ["ORV9112E"], (length, r))
            self.assertIn("The path given by the home directory is longer than 260 characters",
                          r.stderr)

    def test_what_a_keystore_means_is_kept(self):
        bom = b"\xef\xbb\xbf"
        cases = [
            # (keystore, protected values expected, lines kept byte for byte)
            (b"other = a\x1ab\npkcs11.token_pin = 77\n", {"pkcs11.token_pin": "77"},
             [b"other = a\x1ab\n"]),
            # A last line without a line end takes the one before, an empty line's too.
            (b"a = 1\n\r\npem.password = p", {"pem.password": "p"},
             [b"\r\npem.encrypted = YES\r\n"]),
            # The key file named behind a byte order mark is found.
            (bom + b"orvcred.keyfile = initial.key\npem.password = p\r\n", {"pem.password": "p"},
             [bom + b"orvcred.keyfile = initial.key\n", b"pem.encrypted = YES\r\n"]),
        ]
        for body, values, kept in cases:
            self.s.write("keystore.conf", body)
            r = self.run_orvseal("-f", "keystore.conf")
            self.assert_result(r, 0, ["ORV9105I"] + ([] if b"keyfile" in body else ["ORV6339W"]))
            for piece in kept:
                self.assertIn(piece, self.s.read("keystore.conf"), body)
            self.assertEqual(self.s.reveal("keystore.conf", None if b"keyfile" not in body
                                           else self.key, values), (0, values), body)
            again = self.s.read("keystore.conf")
            self.run_orvseal("-f", "keystore.conf")
            self.assertEqual(self.s.read("keystore.conf"), again, "a second run changes nothing")

    @unittest.skipIf(WINDOWS, "FIFOs, /dev and file modes are POSIX's")
    def test_posix_special_files(self):
        self.s.write("keystore.conf", KEYSTORE)
        os.mkfifo(self.s.path("fifo"))
        for args, code in [(["-f", "fifo", "-sf", "initial.key"], 12),
                           (["-f", "keystore.conf", "-sf", "fifo"], 80),
                           (["-f", "keystore.conf", "-sf", self.s.dir], 80)]:
            self.assert_result(self.run_orvseal(*args), code, ["ORV9113E"])
        for out in ("/dev/null", "/dev/stdout", "new.conf"):
            r = self.run_orvseal("-f", "keystore.conf", "-o", out, "-sf", "initial.key")
            self.assert_result(r, 0, ["ORV9105I"])
            self.assertEqual("pkcs11.token_pin = <ORV>" in r.stdout, out == "/dev/stdout")
        self.assertEqual(stat.S_IMODE(os.stat(self.s.path("new.conf")).st_mode), 0o600)
        self.assertEqual(self.s.text("keystore.conf"), KEYSTORE)
        # A control character in a name cannot start a line of its own.
        r = self.run_orvseal("-f", "no\nORV9105I: such file", "-sf", "initial.key")
        self.assertIn("'no\\nORV9105I: such file'", r.stderr)
        self.assertEqual(r.ids, ["ORV9062E"], r)
        r = self.run_orvseal(env={"VKT_KEYSTORE_CONF": "/" + "d" * 300 + "/keystore.conf"})
        self.assert_result(r, 16, ["ORV9112E"])

    def fresh(self):
        """Removes everything from the folder but the home directory and the key."""
        for name in set(os.listdir(self.s.dir)) - {"home", "initial.key"}:
            path = self.s.path(name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)

    def test_links_and_names_outside_the_ansi_code_page(self):
        protected = "pkcs11.token_pin = <ORV>"
        os.symlink(self.s.write("real/keystore.conf", KEYSTORE, mode=0o640),
                   self.s.path("link.conf"))
        self.assert_result(self.run_orvseal("-f", "link.conf", "-sf", "initial.key"), 0,
                           ["ORV9105I"])
        self.assertTrue(os.path.islink(self.s.path("link.conf")))
        self.assertIn(protected, self.s.text("real/keystore.conf"))
        self.assertEqual(os.listdir(self.s.path("real")), ["keystore.conf"])
        if not WINDOWS:
            self.assertEqual(stat.S_IMODE(os.stat(self.s.path("real/keystore.conf")).st_mode),
                             0o640)
        self.fresh()
        os.link(self.s.write("keystore.conf", KEYSTORE), self.s.path("other.conf"))
        r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
        self.assert_result(r, 0, ["ORV9105I", "ORV9114W"])
        self.assertIn("'keystore.conf' has 2 names", r.stderr)
        self.assertIn(protected, self.s.text("keystore.conf"))
        self.assertEqual(self.s.text("other.conf"), KEYSTORE)
        # Best-fit mapping once made the fullwidth names A.conf and outA.conf:
        # other files.
        for keystore, output, key, decoys in [("ключи.conf", "вывод.conf", "ключ.key", []),
                                              ("Ａ.conf", "outＡ.conf", "Ｋ.key",
                                               ["A.conf", "outA.conf"])]:
            self.fresh()
            self.s.write(keystore, KEYSTORE)
            self.s.write(key, self.s.read("initial.key"))
            for decoy in decoys:
                self.s.write(decoy, "decoy\n")
            r = self.run_orvseal("-f", keystore, "-o", output, "-sf", key)
            self.assert_result(r, 0, ["ORV9105I"])
            self.assertIn("'%s'" % keystore, r.stdout)
            self.assertEqual(self.s.text(keystore), KEYSTORE)
            # orvcred takes such names as orvseal does.
            self.assertEqual(self.s.reveal(output, self.s.path(key), PLAINTEXTS), (0, PLAINTEXTS))
            for decoy in decoys:
                self.assertEqual(self.s.text(decoy), "decoy\n")
            self.assertEqual(sorted(os.listdir(self.s.dir)),
                             sorted(["home", "initial.key", keystore, output, key] + decoys))

    @unittest.skipUnless(WINDOWS and FILE_TOOL, "Windows attributes and share modes")
    def test_windows_attributes_and_files_in_use(self):
        for value in (0x1, 0x2 | 0x4):  # read-only; hidden and system
            self.fresh()
            self.s.write("keystore.conf", KEYSTORE)
            if value == 0x1:
                os.chmod(self.s.path("keystore.conf"), 0o444)  # Wine's read-only
            elif int(self.s.file_tool("attributes", "keystore.conf", "%x" % value),
                     16) & value != value:
                continue  # this file system keeps no DOS attributes under Wine
            r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
            self.assert_result(r, 0, ["ORV9105I"])
            self.assertIn("pkcs11.token_pin = <ORV>", self.s.text("keystore.conf"))
            kept = int(self.s.file_tool("attributes", "keystore.conf"), 16)
            self.assertEqual(kept & value, value, hex(kept))
        # Held without read sharing, the keystore cannot even be read; without
        # delete sharing, it cannot be replaced. With it, Windows 10 replaces it
        # all the same (POSIX semantics); Wine does not.
        ok, in_use = (0, ["ORV9105I"]), (22, ["ORV9115E"])
        for share, accepted in [(0, [(12, ["ORV9062E"])]), (1, [in_use]), (3, [in_use]),
                                (7, [ok, in_use])]:
            self.fresh()
            self.s.write("keystore.conf", KEYSTORE)
            holder = self.s.hold("keystore.conf", share)
            r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
            holder.stdin.close()
            holder.wait(timeout=60)
            holder.stdout.close()
            self.assertIn((r.code, r.ids), accepted, (share, r))
            self.assertEqual(self.s.text("keystore.conf") == KEYSTORE, r.code != 0)
            self.assertEqual([n for n in os.listdir(self.s.dir) if n.endswith(".bak")], [])

if __name__ == "__main__":
    unittest.main(verbosity=1)
