"""End-to-end tests: the real orvseal executable, run as a user runs it.

The environment names what to run: see harness.py.
"""

import os
import shutil
import stat
import unittest

from harness import FILE_TOOL, NATIVE_REVEAL, WINDOWS, Scratch, host_path, message_ids

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


class Result:
    def __init__(self, completed):
        self.completed = completed
        self.code = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        self.stderr = completed.stderr.decode("utf-8", "replace").replace("\r\n", "\n")

    def ids(self):
        return message_ids(self.completed)

    def __repr__(self):
        return "exit %d\nstdout:\n%s\nstderr:\n%s" % (self.code, self.stdout, self.stderr)


class OrvsealTest(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch(self)
        self.dir = self.scratch.dir
        self.env = self.scratch.env
        self.path = self.scratch.path
        self.write = self.scratch.write
        self.read = self.scratch.read
        self.text = self.scratch.text
        self.reveal = self.scratch.reveal
        self.key = self.write("initial.key", "e2e initial key\n", mode=0o600)

    # -- helpers ---------------------------------------------------------

    def run_orvseal(self, *args, env=None):
        return Result(self.scratch.run(*args, env=env))

    def assert_shape(self, name, expected=EXPECTED_SHAPE):
        lines = self.text(name).split("\n")
        self.assertEqual(lines[-1], "", "the last line ends with a newline")
        lines = lines[:-1]
        self.assertEqual(len(lines), len(expected), self.text(name))
        for line, want in zip(lines, expected):
            if want.endswith("<ORV>"):
                self.assertTrue(line.startswith(want), line)
                self.assertRegex(line[len(want) - 5:],
                                 r"^<ORV>[12]![A-Za-z0-9+/=]+![A-Za-z0-9+/=]*![A-Za-z0-9+/=]+"
                                 r"(\s+#.*)?$")
            else:
                self.assertEqual(line, want)

    def assert_ids(self, result, ids, note=None):
        self.assertEqual(result.ids(), sorted(ids), note if note is not None else result)

    def assert_protected(self, name, key, plaintexts=PLAINTEXTS):
        code, values = self.reveal(name, key)
        self.assertEqual(code, 0, values)
        self.assertEqual(values, plaintexts)

    def assert_no_side_file(self, name="keystore.conf"):
        self.assertFalse(os.path.exists(self.path(name + ".bak")))

    # -- the protection run ----------------------------------------------

    def test_protects_every_credential_and_replaces_the_keystore(self):
        self.write("keystore.conf", KEYSTORE)
        r = self.run_orvseal("-f", host_path(self.path("keystore.conf")), "-sf", host_path(self.key))
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith("orvseal") and "Copyright" in r.stdout.split("\n")[0], r)
        self.assert_ids(r, ["ORV9105I"], r)
        self.assertIn("'%s'" % host_path(self.path("keystore.conf")), r.stdout)
        self.assert_shape("keystore.conf")
        self.assert_protected("keystore.conf", self.key)
        self.assert_no_side_file()

    def test_algorithms(self):
        for algorithm in ("1", "2"):
            self.write("keystore.conf", KEYSTORE)
            r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key", "-sp", algorithm)
            self.assertEqual(r.code, 0, r)
            self.assertIn("pem.password = <ORV>%s!" % algorithm, self.text("keystore.conf"))
            self.assert_protected("keystore.conf", self.key)
        for algorithm in ("0", "3"):
            self.write("keystore.conf", KEYSTORE)
            trace = self.path("trace-%s.log" % algorithm)
            r = self.run_orvseal("-f", "keystore.conf", "-sp", algorithm,
                                 env={"VKT_TRACE": host_path(trace)})
            self.assertEqual(r.code, 10, r)
            self.assert_ids(r, ["ORV3056I"], r)
            self.assertEqual(self.text("keystore.conf"), KEYSTORE)
            self.assert_no_side_file()
            with open(trace) as f:
                self.assertIn("Supplied algorithm %s was smaller than 0 or larger than the latest 2"
                              % algorithm, f.read())

    def test_command_line_errors_show_the_usage(self):
        self.write("keystore.conf", KEYSTORE)
        cases = [
            (("-x", "y"), ["ORV7027E", "ORV3056I"], "'-x'"),
            (("-f",), ["ORV3056I"], None),
            (("-f", "-o"), ["ORV7027E", "ORV3056I"], "'-f'"),
        ]
        for args, ids, named in cases:
            r = self.run_orvseal(*args)
            self.assertEqual(r.code, 10, (args, r))
            self.assert_ids(r, ids, (args, r))
            self.assertIn("Copyright", r.stdout)
            if named:
                self.assertIn("The argument %s is not an option of orvseal" % named, r.stderr)
            self.assertIn("Usage: orvseal [-f keystore_file] [-o output_file] [-sp 1|2] "
                          "[-sf initial_key_file]", r.stdout)
        self.assertEqual(self.text("keystore.conf"), KEYSTORE)

    def test_key_file_precedence(self):
        other = self.write("other.key", "another key", mode=0o600)
        stanza = self.write("stanza.key", "the stanza's key", mode=0o600)
        body = KEYSTORE + "orvcred.keyfile = %s\n" % host_path(stanza)
        plaintexts = dict(PLAINTEXTS)
        cases = [
            (("-sf", "initial.key"), {"VKT_ORVCRED_KEYFILE": host_path(other)}, self.key),
            ((), {"VKT_ORVCRED_KEYFILE": host_path(other)}, other),
            ((), {}, stanza),
        ]
        for args, env, key in cases:
            self.write("keystore.conf", body)
            r = self.run_orvseal("-f", "keystore.conf", *args, env=env)
            self.assertEqual(r.code, 0, r)
            self.assert_ids(r, ["ORV9105I"], r)
            self.assert_protected("keystore.conf", key, plaintexts)
            for wrong in {self.key, other, stanza} - {key}:
                code, _ = self.reveal("keystore.conf", wrong)
                self.assertNotEqual(code, 0, "readable with the wrong key %s" % wrong)

    def test_default_key(self):
        cases = [
            KEYSTORE,                                              # no orvcred stanza
            KEYSTORE + "orvcred.other = x\n",                      # stanza without keyfile
            KEYSTORE + "a line without an equals sign\n",          # unparsable, no keyfile
        ]
        for body in cases:
            self.write("keystore.conf", body)
            r = self.run_orvseal("-f", "keystore.conf")
            self.assertEqual(r.code, 0, r)
            self.assert_ids(r, ["ORV6339W", "ORV9105I"], r)
            self.assertIn("ORV6339W", r.stderr)
            code, values = self.reveal("keystore.conf")
            self.assertEqual((code, values), (0, PLAINTEXTS))

    def test_unreadable_key_file(self):
        self.write("keystore.conf", KEYSTORE)
        r = self.run_orvseal("-f", "keystore.conf", "-sf", host_path(self.path("keys/none.key")))
        self.assertEqual(r.code, 80, r)
        self.assert_ids(r, ["ORV6335E"], r)
        base = "none.key"
        self.assertIn("The initial key file '%s' cannot be read" % base, r.stderr)
        self.assertEqual(self.text("keystore.conf"), KEYSTORE)
        self.assert_no_side_file()

    def test_direct_output_leaves_the_keystore_alone(self):
        self.write("keystore.conf", KEYSTORE)
        r = self.run_orvseal("-f", "keystore.conf", "-o", "out.conf", "-sf", "initial.key")
        self.assertEqual(r.code, 0, r)
        self.assertIn("The credentials in 'keystore.conf' are protected.", r.stdout)
        self.assertEqual(self.text("keystore.conf"), KEYSTORE)
        self.assert_shape("out.conf")
        self.assert_protected("out.conf", self.key)
        self.assert_no_side_file()

    def test_output_naming_the_keystore_by_another_text_replaces_it(self):
        outputs = ["keystore.conf", host_path(self.path("keystore.conf")),
                   "." + ("\\" if WINDOWS else "/") + "keystore.conf"]
        if WINDOWS:
            outputs.append("KEYSTORE.Conf")  # Windows file names ignore case
        else:
            os.symlink("keystore.conf", self.path("alias.conf"))
            outputs.append("alias.conf")
        for output in outputs:
            self.write("keystore.conf", KEYSTORE)
            r = self.run_orvseal("-f", "keystore.conf", "-o", output, "-sf", "initial.key")
            self.assertEqual(r.code, 0, (output, r))
            self.assert_shape("keystore.conf")
            self.assert_protected("keystore.conf", self.key)
            self.assert_no_side_file()

    def test_named_key_file_that_cannot_be_used_is_never_replaced_by_the_default(self):
        cases = [
            ("orvcred.keyfile = initial.key\norvcred.keyfile = initial.key\n", 15, "ORV9060E",
             "more than one 'orvcred.keyfile' entry"),
            ("orvcred.keyfile = initial.key\nstray line\n", 11, "ORV9111E",
             "but line 10 cannot be read"),
            ("stray line\norvcred.keyfile =\n", 11, "ORV9111E", "but line 9 cannot be read"),
            ("orvcred.keyfile = " + "k" * 300 + "\n", 16, "ORV9112E",
             "The path given by orvcred.keyfile is longer than 260 characters"),
        ]
        for extra, code, message, says in cases:
            body = KEYSTORE + extra
            self.write("keystore.conf", body)
            r = self.run_orvseal("-f", "keystore.conf")
            self.assertEqual(r.code, code, r)
            self.assert_ids(r, [message], r)
            self.assertIn(says, r.stderr)
            self.assertEqual(self.read("keystore.conf"), body.encode())
            self.assert_no_side_file()

    def test_files_named_like_the_side_file_are_left_alone(self):
        self.write("keystore.conf", KEYSTORE)
        self.write("keystore.conf.bak", "a backup of the user's own\n")
        os.makedirs(self.path("keystore.conf.1.bak/inside"))
        r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
        self.assertEqual(r.code, 0, r)
        self.assert_shape("keystore.conf")
        self.assertEqual(self.read("keystore.conf.bak"), b"a backup of the user's own\n")
        self.assertTrue(os.path.isdir(self.path("keystore.conf.1.bak/inside")))
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["home", "initial.key", "keystore.conf", "keystore.conf.1.bak",
                          "keystore.conf.bak"])

    def test_keystore_from_the_environment_and_the_home_directory(self):
        self.write("elsewhere.conf", KEYSTORE)
        r = self.run_orvseal("-sf", host_path(self.key),
                             env={"VKT_KEYSTORE_CONF": host_path(self.path("elsewhere.conf"))})
        self.assertEqual(r.code, 0, r)
        self.assert_shape("elsewhere.conf")

        if WINDOWS:
            prefix = os.environ.get("ORV_WINEPREFIX") or os.path.join(
                os.environ.get("TMPDIR", "/tmp"), "orvseal-wineprefix-%d" % os.getuid())
            users = os.path.join(prefix, "drive_c", "users")
            home = [os.path.join(users, u) for u in os.listdir(users) if u != "Public"][0]
        else:
            home = self.env["HOME"]
        vkt = os.path.join(home, ".vkt")
        os.makedirs(vkt, exist_ok=True)
        self.addCleanup(shutil.rmtree, vkt, True)
        with open(os.path.join(vkt, "keystore.conf"), "w") as f:
            f.write(KEYSTORE)
        r = self.run_orvseal()
        self.assertEqual(r.code, 0, r)
        self.assert_ids(r, ["ORV6339W", "ORV9105I"], r)
        with open(os.path.join(vkt, "keystore.conf"), "rb") as f:
            self.assertIn(b"pem.password = <ORV>2!", f.read())

        if not WINDOWS:
            del self.env["HOME"]
            r = self.run_orvseal()
            self.assertEqual(r.code, 15, r)
            self.assert_ids(r, [], r)

    def test_files_that_are_not_text_of_this_form_are_left_alone(self):
        cases = [
            ("a NUL byte", b"pem.password = secret\nbinary = a\0b\n", 19, "ORV910AE",
             "holds a NUL byte in line 2"),
            ("carriage returns alone", b"a = 1\rpem.password = s\rb = 2\r", 19, "ORV910DE",
             "without a line feed in line 1"),
            ("UTF-16", "pem.password = s\n".encode("utf-16"), 19, "ORV910EE",
             "Save it as UTF-8 or ANSI"),
            ("words between key and '='", b"x = 1\npem.password extra = v\n", 21, "ORV910FE",
             "Line 2 of 'keystore.conf' has words between the key 'pem.password' and '='"),
        ]
        for name, body, code, message, says in cases:
            self.write("keystore.conf", body)
            for out in ([], ["-o", "out.conf"]):
                r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key", *out)
                self.assertEqual((r.code, r.ids()), (code, [message]), (name, r))
                self.assertIn(says, r.stderr, name)
                self.assertEqual(self.read("keystore.conf"), body, name)
                self.assertEqual(sorted(os.listdir(self.dir)),
                                 ["home", "initial.key", "keystore.conf"], name)

    def test_what_a_keystore_means_is_kept(self):
        bom = b"\xef\xbb\xbf"
        cases = [
            # (what, keystore, protected values expected, lines kept byte for byte)
            ("a value of words", b"pem.password = my secret phrase\n",
             {"pem.password": "my secret phrase"}, []),
            ("a comment after the value", b"crl.ldap.pass = Ld4p-Reader-Pw   # the reader's\n",
             {"crl.ldap.pass": "Ld4p-Reader-Pw"}, [b"   # the reader's\n"]),
            ("a 0x1A byte", b"other = a\x1ab\npkcs11.token_pin = 77\n",
             {"pkcs11.token_pin": "77"}, [b"other = a\x1ab\n"]),
            ("a byte order mark", bom + b"pem.password = p\n", {"pem.password": "p"},
             [bom + b"pem.encrypted = YES\n"]),
            ("a byte order mark before the key file", bom + b"orvcred.keyfile = initial.key\n"
             b"pem.password = p\r\n", {"pem.password": "p"},
             [bom + b"orvcred.keyfile = initial.key\n", b"pem.encrypted = YES\r\n"]),
        ]
        for what, body, values, kept in cases:
            self.write("keystore.conf", body)
            r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
            self.assertEqual((r.code, r.ids()), (0, ["ORV9105I"]), (what, r))
            for piece in kept:
                self.assertIn(piece, self.read("keystore.conf"), what)
            self.assertEqual(self.reveal("keystore.conf", self.key), (0, values), what)
            again = self.read("keystore.conf")
            self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
            self.assertEqual(self.read("keystore.conf"), again, what + ": a second run")
        # The key file named on a first line behind a byte order mark is found.
        self.write("keystore.conf", bom + b"orvcred.keyfile = initial.key\npem.password = p\n")
        r = self.run_orvseal("-f", "keystore.conf")
        self.assertEqual((r.code, r.ids()), (0, ["ORV9105I"]), r)

    def test_plaintext_behind_a_yes_flag_is_named(self):
        body = "crl.encrypted = YES\ncrl.ldap.pass = plainLDAP\n"
        self.write("keystore.conf", body)
        r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key")
        self.assertEqual((r.code, r.ids()), (0, ["ORV9105I", "ORV9110W"]), r)
        self.assertIn("Line 2 of 'keystore.conf' holds a plaintext 'crl.ldap.pass'", r.stderr)
        self.assertIn("remove that flag line or set it to NO", r.stderr)
        self.assertNotIn("plainLDAP", r.stdout + r.stderr)
        self.assertEqual(self.text("keystore.conf"), body)

    @unittest.skipIf(WINDOWS, "FIFOs, /dev and file modes are POSIX's")
    def test_posix_special_files(self):
        self.write("keystore.conf", KEYSTORE)
        os.chmod(self.path("keystore.conf"), 0o600)
        os.mkfifo(self.path("fifo"))
        for args, code, message in [
                (["-f", "fifo", "-sf", "initial.key"], 12, "ORV9113E"),
                (["-f", "keystore.conf", "-sf", "fifo"], 80, "ORV9113E"),
                (["-f", "keystore.conf", "-sf", self.dir], 80, "ORV9113E")]:
            r = self.run_orvseal(*args)
            self.assertEqual((r.code, r.ids()), (code, [message]), r)
        for out in ("/dev/null", "/dev/stdout"):
            r = self.run_orvseal("-f", "keystore.conf", "-o", out, "-sf", "initial.key")
            self.assertEqual((r.code, r.ids()), (0, ["ORV9105I"]), r)
        self.assertIn("pkcs11.token_pin = <ORV>", r.stdout)
        r = self.run_orvseal("-f", "keystore.conf", "-o", "new.conf", "-sf", "initial.key")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.conf")).st_mode), 0o600)
        self.assertEqual(self.text("keystore.conf"), KEYSTORE)
        # A control character in a name cannot start a line of its own.
        r = self.run_orvseal("-f", "no\nORV9105I: such file", "-sf", "initial.key")
        self.assertIn("'no\\nORV9105I: such file'", r.stderr)
        self.assertEqual(r.ids(), ["ORV9062E"], r)
        long = "/" + "d" * 300 + "/keystore.conf"
        r = self.run_orvseal(env={"VKT_KEYSTORE_CONF": long})
        self.assertEqual((r.code, r.ids()), (16, ["ORV9112E"]), r)

    def test_path_too_long_for_the_side_file(self):
        # 257 characters in all: the path fits, the path and ".bak" do not.
        directory = self.dir
        while len(directory) < 257 - 30:
            directory = os.path.join(directory, "d" * min(100, 257 - 30 - len(directory)))
        os.makedirs(directory, exist_ok=True)
        name = "k" * (257 - len(host_path(directory)) - 1)
        keystore = os.path.join(directory, name)
        with open(keystore, "w") as f:
            f.write(KEYSTORE)
        self.assertEqual(len(host_path(keystore)), 257)
        r = self.run_orvseal("-f", host_path(keystore), "-sf", host_path(self.key))
        self.assertEqual(r.code, 16, r)
        self.assert_ids(r, ["ORV9109E"], r)
        with open(keystore) as f:
            self.assertEqual(f.read(), KEYSTORE)
        self.assertEqual(os.listdir(directory), [name])

    def test_links_names_attributes_and_files_in_use(self):
        """How a keystore is reached and kept: through links, under names outside
        the ANSI code page and, on Windows, with its attributes and while another
        process holds it open."""
        protected = "pkcs11.token_pin = <ORV>"
        ok = (0, ["ORV9105I"])
        in_use = (22, ["ORV9115E"])

        def symbolic_link():
            real = self.write("real/keystore.conf", KEYSTORE, mode=0o640)
            os.symlink(real, self.path("link.conf"))

        def symbolic_link_kept():
            self.assertTrue(os.path.islink(self.path("link.conf")))
            self.assertIn(protected, self.text("real/keystore.conf"))
            self.assertEqual(os.listdir(self.path("real")), ["keystore.conf"])
            if not WINDOWS:
                self.assertEqual(stat.S_IMODE(os.stat(self.path("real/keystore.conf")).st_mode),
                                 0o640)

        def hard_link():
            os.link(self.write("keystore.conf", KEYSTORE), self.path("other.conf"))

        def other_name_unchanged(r):
            self.assertIn("'keystore.conf' has 2 names", r.stderr)
            self.assertIn(protected, self.text("keystore.conf"))
            self.assertEqual(self.text("other.conf"), KEYSTORE)

        def names(keystore, output, key, decoys=()):
            def arrange():
                self.write(keystore, KEYSTORE)
                self.write(key, self.read("initial.key"))
                for decoy in decoys:
                    self.write(decoy, "decoy\n")
            def check(r):
                self.assertIn("'%s'" % keystore, r.stdout)
                self.assertEqual(self.text(keystore), KEYSTORE)
                self.assertIn(protected, self.text(output))
                for decoy in decoys:
                    self.assertEqual(self.text(decoy), "decoy\n")
                self.assertEqual(sorted(os.listdir(self.dir)),
                                 sorted(["home", "initial.key", keystore, output, key]
                                        + list(decoys)))
            return arrange, ["-f", keystore, "-o", output, "-sf", key], check

        def attributes(value):
            def arrange():
                self.write("keystore.conf", KEYSTORE)
                if value == 0x1:
                    os.chmod(self.path("keystore.conf"), 0o444)  # Wine's read-only
                elif int(self.scratch.file_tool("attributes", "keystore.conf", "%x" % value),
                         16) & value != value:
                    self.skipTest("this file system keeps no DOS attributes under Wine")
            def check(r):
                self.assertIn(protected, self.text("keystore.conf"))
                kept = int(self.scratch.file_tool("attributes", "keystore.conf"), 16)
                self.assertEqual(kept & value, value, hex(kept))
            return arrange, check

        holders = []

        def release():
            while holders:
                holder = holders.pop()
                holder.stdin.close()
                holder.wait(timeout=60)
                holder.stdout.close()

        self.addCleanup(release)

        def held(share):
            def arrange():
                self.write("keystore.conf", KEYSTORE)
                holders.append(self.scratch.hold("keystore.conf", share))
            def check(r):
                release()
                if r.code == 0:
                    self.assertIn(protected, self.text("keystore.conf"))
                else:
                    self.assertEqual(self.text("keystore.conf"), KEYSTORE)
            return arrange, check

        keystore_args = ["-f", "keystore.conf", "-sf", "initial.key"]
        read_only, read_only_kept = attributes(0x1)
        hidden_system, hidden_system_kept = attributes(0x2 | 0x4)
        cyrillic = names("ключи.conf", "вывод.conf", "ключ.key")
        # Best-fit mapping once made these A.conf and outA.conf: other files.
        fullwidth = names("Ａ.conf", "outＡ.conf", "Ｋ.key", decoys=("A.conf", "outA.conf"))
        cases = [
            # (what, Windows only, arrange, arguments, accepted (exit, messages), check)
            ("a symbolic link", False, symbolic_link, ["-f", "link.conf", "-sf", "initial.key"],
             [ok], lambda r: symbolic_link_kept()),
            ("a hard link", False, hard_link, keystore_args, [(0, ["ORV9105I", "ORV9114W"])],
             other_name_unchanged),
            ("Cyrillic names", False, cyrillic[0], cyrillic[1], [ok], cyrillic[2]),
            ("fullwidth names", False, fullwidth[0], fullwidth[1], [ok], fullwidth[2]),
            ("read-only", True, read_only, keystore_args, [ok], read_only_kept),
            ("hidden and system", True, hidden_system, keystore_args, [ok], hidden_system_kept),
        ]
        # Held without read sharing, the keystore cannot even be read; without
        # delete sharing, it cannot be replaced. With it, Windows 10 replaces it
        # all the same (POSIX semantics); Wine does not.
        unreadable = (12, ["ORV9062E"])
        for share, accepted in [(0, [unreadable]), (1, [in_use]), (3, [in_use]),
                                (7, [ok, in_use])]:
            arrange, check = held(share)
            cases.append(("held open, share mode %d" % share, True, arrange, keystore_args,
                          accepted, check))
        for what, windows_only, arrange, args, accepted, check in cases:
            if windows_only and not (WINDOWS and FILE_TOOL):
                continue
            with self.subTest(what):
                for name in set(os.listdir(self.dir)) - {"home", "initial.key"}:
                    path = self.path(name)
                    if os.path.isdir(path) and not os.path.islink(path):
                        shutil.rmtree(path)
                    else:
                        os.remove(path)
                arrange()
                r = self.run_orvseal(*args)
                self.assertIn((r.code, r.ids()), accepted, r)
                check(r)
                self.assertEqual([n for n in os.listdir(self.dir) if n.endswith(".bak")], [])

    @unittest.skipUnless(WINDOWS and NATIVE_REVEAL, "needs the Windows build and a native reveal")
    def test_windows_values_read_back_on_linux(self):
        self.write("keystore.conf", KEYSTORE)
        r = self.run_orvseal("-f", "keystore.conf", "-sf", "initial.key", "-sp", "1")
        self.assertEqual(r.code, 0, r)
        code, values = self.reveal("keystore.conf", self.key, native=True)
        self.assertEqual((code, values), (0, PLAINTEXTS))


if __name__ == "__main__":
    unittest.main(verbosity=1)
