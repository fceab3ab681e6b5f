"""End-to-end tests: the real orvcred command, run as a user runs it (under
Wine for the Windows build). The environment names what to run: see
harness.py. (The C consumer of the library is built and run against the
installed packages by scripts/package-test.sh.)"""

import json
import os
import re
import stat
import subprocess
import unittest

from harness import CRED, WINDOWS, Result, Scratch, host_path
from test_orvseal import KEYSTORE, PLAINTEXTS

PROTECTED_LINES = [(4, "pem.password"), (6, "pem.password.channel"), (9, "crl.ldap.pass"),
                   (11, "pkcs11.token_pin")]
PLAIN_LINES = [(3, "pem.password"), (4, "pem.password.channel"), (6, "crl.ldap.pass"),
               (8, "pkcs11.token_pin")]


class OrvcredTest(unittest.TestCase):
    def setUp(self):
        self.s = Scratch(self, "orvcred-e2e-")
        self.key = self.s.write("initial.key", "e2e initial key\n")
        self.other = self.s.write("other.key", "another key\n")

    def cred(self, *args):
        r = Result(self.s.run(*args, exe=CRED))
        return r.code, r.stdout, r.stderr, r.ids

    def protect(self, body=KEYSTORE, key="initial.key"):
        self.s.write("keystore.conf", body)
        r = self.s.run("-f", "keystore.conf", *(("-sf", key) if key else ()))
        self.assertEqual(r.returncode, 0, r)

    def assert_protected(self, name, key):
        self.assertEqual(self.s.reveal(name, key, PLAINTEXTS), (0, PLAINTEXTS))

    def test_front_end_spellings_and_streams(self):
        self.protect()
        bad, lacks = ["ORV7027E", "ORV9200I"], ["ORV9200I", "ORV9209E"]
        cases = [  # arguments, exit code, what standard output begins with, messages
            (("--help",), 0, "Usage: orvcred check", []), (("-h",), 0, "Usage:", []),
            (("help",), 0, "Usage:", []), (("--version",), 0, "1.", []), (("version",), 0, "1.", []),
            ((), 10, "", lacks), (("bogus",), 10, "", bad),
            (("check", "-fubar", "keystore.conf"), 10, "", bad),
            (("check", "-sfx", "initial.key"), 10, "", bad),
            (("rekey", "-nf", "x", "-sp", "3"), 10, "", bad),
            (("reveal", "-f", "keystore.conf"), 10, "", lacks),
            (("rekey", "-f", "keystore.conf"), 10, "", lacks),
            (("check", "-f", "keystore.conf", "-sf", "initial.key"), 0, "keystore.conf:4: ",
             ["ORV9207I"]),
        ]
        for args, code, begins, ids in cases:
            c, out, err, got = self.cred(*args)
            self.assertEqual((c, got), (code, sorted(ids)), (args, out, err))
            self.assertTrue(out.startswith(begins) and (begins or not out), (args, out))
            self.assertNotIn("ORV", out)
            self.assertTrue(err.startswith("orvcred 1."), (args, err))

    def valid(self, out, schema="../../doc/check.schema.json"):
        """The check's document, validated against its schema."""
        import jsonschema
        with open(os.path.join(os.path.dirname(__file__), schema)) as f:
            schema = json.load(f)
        document = json.loads(out)
        jsonschema.validate(document, schema)
        return document

    def test_check_states_codes_and_json(self):
        self.protect(key=None)
        os.rename(self.s.path("keystore.conf"), self.s.path("default.conf"))
        self.protect()
        self.s.write("plain.conf", KEYSTORE)
        protected = self.s.text("keystore.conf")
        self.s.write("twice.conf", protected + protected.splitlines()[3] + "\n")
        self.s.write("held.conf", "pem.encrypted = YES\npem.password = typed\n")
        self.s.write("example.key", "example-initial-key-change-me\n")
        self.protect(body=KEYSTORE, key="example.key")
        os.rename(self.s.path("keystore.conf"), self.s.path("example.conf"))
        self.protect()
        cases = [  # keystore, key file, exit code, messages, lines and their state
            ("keystore.conf", "initial.key", 0, ["ORV9207I"], PROTECTED_LINES, "protected"),
            ("keystore.conf", "--no-key", 0, [], PROTECTED_LINES, "protected, not read (--no-key)"),
            ("plain.conf", "--no-key", 2, ["ORV9202W"], PLAIN_LINES, "plaintext"),
            ("held.conf", "--no-key", 6, ["ORV9110W"], [(2, "pem.password")],
             "plaintext behind a flag that says protected"),
            ("example.conf", "example.key", 7, ["ORV9212W"], PROTECTED_LINES,
             "protected with the example key"),
            ("keystore.conf", "other.key", 3, ["ORV9201E"], PROTECTED_LINES,
             "protected, not readable with this key"),
            ("plain.conf", "initial.key", 2, ["ORV9202W"], PLAIN_LINES, "plaintext"),
            ("held.conf", "initial.key", 6, ["ORV9110W"], [(2, "pem.password")],
             "plaintext behind a flag that says protected"),
            ("default.conf", None, 7, ["ORV6339W", "ORV920BW"], PROTECTED_LINES,
             "protected with the built-in key"),
        ]
        for name, key, code, ids, lines, state in cases:
            key = ("--no-key",) if key == "--no-key" else ("-sf", key) if key else ()
            c, out, err, got = self.cred("check", "-f", name, *key)
            self.assertEqual((c, got), (code, ids), out + err)
            self.assertEqual(out.splitlines(),
                             ["%s:%d: %s: %s" % (name, n, k, state) for n, k in lines])
            for secret in PLAINTEXTS.values():
                self.assertNotIn(secret, out + err)
        names = ["keystore.conf", "twice.conf", "plain.conf"]
        c, out, err, got = self.cred("check", *sum((["-f", n] for n in names), []), "-sf",
                                     "initial.key", "--json")
        document = self.valid(out)
        self.assertEqual((c, document["exit"], document["outcome"]), (8, 8, "repeated"), err)
        self.assertEqual([(f["file"], f["exit"], f["outcome"]) for f in document["files"]],
                         [("keystore.conf", 0, "clean"), ("twice.conf", 8, "repeated"),
                          ("plain.conf", 2, "orvseal-would-change")])
        self.assertEqual(document["files"][1]["lines"][0],
                         {"line": 4, "key": "pem.password", "state": "repeated",
                          "state_text": "repeated", "accepted": False})
        self.assertIn("more than once", document["meaning"])
        # For a pipeline: without the key, 0 clean, 1 findings, 2 could not check.
        self.s.write("broken.conf", "pem.password extra = x\n")
        for files, code in ((["keystore.conf"], 0), (["keystore.conf", "held.conf"], 1),
                            (["twice.conf", "broken.conf"], 2)):
            c, out, err, got = self.cred("check", "--no-key", "--ci", "--json",
                                         *sum((["-f", n] for n in files), []))
            self.assertEqual(c, code, err)
            found = self.valid(out)
            self.assertTrue(all(f["key_source"] is None for f in found["files"]))
        self.assertEqual(found["files"][1]["message"]["id"], "ORV910FE")
        # SARIF for code-scanning pages: a result for each finding, a
        # notification for a file that could not be checked.
        c, out, err, got = self.cred("check", "--no-key", "--format", "sarif", "-f", "held.conf",
                                     "-f", "keystore.conf", "-f", "twice.conf", "-f", "broken.conf")
        run = self.valid(out, "../data/sarif-schema-2.1.0.json")["runs"][0]
        self.assertEqual(
            [(r["ruleId"], r["level"], r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"],
              r["locations"][0]["physicalLocation"]["region"]["startLine"]) for r in run["results"]],
            [("behind-yes-flag", "error", "held.conf", 2), ("repeated", "warning", "twice.conf", 4),
             ("repeated", "warning", "twice.conf", 12)])
        self.assertIn("ORV910FE", run["invocations"][0]["toolExecutionNotifications"][0]["message"]["text"])
        # A baseline accepts the findings it lists by key and state, wherever
        # their lines move; a new finding fails.
        ci = ("check", "--no-key", "--ci", "-f", "plain.conf")
        self.assertEqual(self.cred(*ci, "--write-baseline", "base.txt")[0], 0)
        self.s.write("plain.conf", "# above\n" + KEYSTORE)
        c, out, err, got = self.cred(*ci, "--baseline", "base.txt")
        self.assertEqual((c, out.count("(accepted)")), (0, 4), out + err)
        self.s.write("plain.conf", "# above\n" + KEYSTORE + "pem.password.new = fresh\n")
        c, out, err, got = self.cred(*ci, "--baseline", "base.txt")
        self.assertEqual((c, out.splitlines()[-1]), (1, "plain.conf:10: pem.password.new: plaintext"))
        # A folder's files by name at any depth, in byte order, and FILEs.
        for name in ("tree/b/keystore.conf", "tree/a/x.conf", "tree/a/x.txt", "far/keystore.conf"):
            self.s.write(name, KEYSTORE)
        if not WINDOWS:  # a link to a folder elsewhere leads nowhere
            os.symlink(self.s.path("far"), self.s.path("tree/link"))
        c, out, err, got = self.cred("check", "--no-key", "held.conf", "-r", "tree")
        self.assertEqual(sorted({line.split(":")[0].replace("\\", "/") for line in out.splitlines()}),
                         ["held.conf", "tree/a/x.conf", "tree/b/keystore.conf"])
        self.assertEqual(out.splitlines()[-1].replace("\\", "/"),
                         "tree/b/keystore.conf:8: pkcs11.token_pin: plaintext")
        self.assertEqual((document["files"][0]["key_file"], document["files"][0]["key_source"]),
                         ("initial.key", "option"))
        # The key file a keystore names, from its folder, even when it is missing.
        os.mkdir(self.s.path("sub"))
        self.s.write("sub/named.conf", "orvcred.keyfile = gone.key\n" + KEYSTORE)
        c, out, err, got = self.cred("check", "-f", "sub/named.conf", "--json")
        document = json.loads(out)
        self.assertNotIn(c, (0, 2), err)
        self.assertTrue(document["files"][0]["key_file"].replace("\\", "/").endswith("sub/gone.key"))
        self.assertEqual(document["files"][0]["key_source"], "keystore")

    @unittest.skipIf(WINDOWS, "pre-commit runs the Linux build")
    def test_the_pre_commit_hook_fails_a_plaintext_and_passes_a_protected_file(self):
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        env = dict(self.s.env, PATH=os.path.dirname(CRED) + os.pathsep + os.environ["PATH"],
                   PRE_COMMIT_HOME=self.s.path("cache"), GIT_CONFIG_GLOBAL=os.devnull)
        repo = self.s.path("repo")
        os.mkdir(repo)
        self.protect()
        for content, code, verdict in ((KEYSTORE, 1, "Failed"), (self.s.text("keystore.conf"), 0, "Passed")):
            with open(os.path.join(repo, "keystore.conf"), "w") as f:
                f.write(content)
            subprocess.run(["git", "init", "-q"], cwd=repo, check=True)
            subprocess.run(["git", "add", "keystore.conf"], cwd=repo, check=True)
            r = subprocess.run(["pre-commit", "try-repo", root, "orvcred-check"], cwd=repo,
                               env=env, capture_output=True, text=True, timeout=300)
            self.assertEqual(r.returncode, code, r.stdout + r.stderr)
            self.assertRegex(r.stdout, r"orvcred check \(keystore files.*\.%s" % verdict)

    def test_reveal_writes_the_plaintext_alone(self):
        self.protect(KEYSTORE + "twice = 1\ntwice = 2\n")
        for key, plain in PLAINTEXTS.items():
            c, out, err, ids = self.cred("reveal", "-f", "keystore.conf", "-sf", "initial.key", key)
            self.assertEqual((c, out, ids), (0, plain + "\n", []), err)
        c, out, err, ids = self.cred("reveal", "-f", "keystore.conf", "-sf", "initial.key",
                                     "pem.password", "crl.ldap.pass")
        self.assertEqual(out, "%s\n%s\n" % (PLAINTEXTS["pem.password"], PLAINTEXTS["crl.ldap.pass"]))
        c, out, err, ids = self.cred("reveal", "-f", "keystore.conf", "pem.pasword")
        self.assertIn("Keys near it: pem.password.", err)
        cases = [("crl.ldap.host", "initial.key", 0, []), ("absent", "initial.key", 4, ["ORV9061E"]),
                 ("twice", "initial.key", 5, ["ORV9060E"]),
                 ("pem.password", "other.key", 3, ["ORV9201E"])]
        for key, keyfile, code, ids in cases:
            c, out, err, got = self.cred("reveal", "-f", "keystore.conf", "-sf", keyfile, key)
            self.assertEqual((c, got), (code, ids), (key, out, err))
            self.assertEqual(out, "ldap.example.org\n" if code == 0 else "")

    def test_failures_use_orvseals_codes(self):
        self.s.write("keystore.conf", KEYSTORE)
        self.s.write("empty.key", "")
        self.s.write("broken-nokey.conf", "no equals sign\npem.password = x\n")
        cases = [
            (("check", "-f", "missing.conf"), 12, ["ORV9062E"]),
            (("check", "-f", "broken-nokey.conf"), 2, ["ORV6339W", "ORV9202W"]),
            (("check", "-f", "keystore.conf", "-sf", "none.key"), 80, ["ORV6335E"]),
            (("reveal", "-f", "keystore.conf", "-sf", "empty.key", "x"), 81, ["ORV6335E"]),
            (("rekey", "-f", "keystore.conf", "-sf", "initial.key", "-nf", "none.key"), 80,
             ["ORV6335E"]),
        ]
        if not WINDOWS:
            self.s.write("exposed.key", "k", mode=0o644)
            cases.append((("check", "-f", "keystore.conf", "-sf", "exposed.key"), 83, ["ORV633AE"]))
            cases.append((("rekey", "-f", "keystore.conf", "-sf", "initial.key", "-nf",
                           "exposed.key"), 83, ["ORV633AE"]))
        for args, code, ids in cases:
            c, out, err, got = self.cred(*args)
            self.assertEqual((c, got), (code, sorted(ids)), (args, out, err))
            self.assertIn("orvcred 1.", out + err)
            # Which key a message speaks of: -nf names the new one.
            if ids == ["ORV633AE"]:
                self.assertIn("The %s key file" % ("new" if "-nf" in args else "initial"), err)
        self.assertEqual(self.s.text("keystore.conf"), KEYSTORE)
        if not WINDOWS:
            del self.s.env["HOME"]
            self.assertEqual(self.cred("check")[0], 15)

    def test_every_traced_function_has_its_name(self):
        # Both commands, the keystore found through the environment and naming
        # its key file: every function either one traces on the way.
        self.s.write("keystore.conf", KEYSTORE + "orvcred.keyfile = initial.key\n")
        env = {"VKT_KEYSTORE_CONF": host_path(self.s.path("keystore.conf")),
               "VKT_TRACE": host_path(self.s.path("trace.log"))}
        self.assertEqual(self.s.run(env=env).returncode, 0)
        self.assertEqual(self.s.run("check", env=env, exe=CRED).returncode, 0)
        trace = self.s.text("trace.log")
        self.assertEqual(sorted(set(re.findall(r" (function\(\d+\)) ", trace))), [])
        for run in (" protectionRun(370) EXIT ", " orvcredMain(380) EXIT "):
            self.assertIn(run, trace)

    def test_rekey_moves_every_value_to_the_new_key(self):
        # A '#' inside the key file's name, a CR LF line and a 0x1A byte are
        # all kept as they are.
        self.s.write("init#ial.key", self.s.read("initial.key"))
        body = KEYSTORE + "other = a\x1ab\r\norvcred.keyfile = init#ial.key   # the key\n"
        self.protect(body, key=None)
        before = self.s.read("keystore.conf")
        self.assertEqual(self.cred("genkey", "new.key")[0], 0)
        # A wrong current key changes nothing: no file, no side file.
        c, out, err, ids = self.cred("rekey", "-f", "keystore.conf", "-sf", "other.key",
                                     "-nf", "new.key")
        self.assertEqual((c, ids), (3, ["ORV9201E"]), out + err)
        self.assertEqual(self.s.read("keystore.conf"), before)
        self.assertFalse(os.path.exists(self.s.path("keystore.conf.bak")))

        c, out, err, ids = self.cred("rekey", "-f", "keystore.conf", "-nf", "new.key", "-sp", "1")
        self.assertEqual((c, ids), (0, ["ORV9203I"]), out + err)
        # Every line as it was but the values, now of algorithm 1, and the key file entry.
        strip = lambda text: [line.split("<ORV>")[0] for line in text.split("\n")]
        self.assertEqual(strip(self.s.text("keystore.conf")),
                         strip(before.decode().replace("= init#ial.key", "= new.key")))
        self.assertEqual(self.s.text("keystore.conf").count("<ORV>1!"), len(PLAINTEXTS))
        self.assert_protected("keystore.conf", self.s.path("new.key"))
        self.assertEqual(self.cred("check", "-f", "keystore.conf")[0], 0, "orvcred.keyfile follows")

    def test_genkey_creates_an_owner_only_key_that_orvseal_accepts(self):
        c, out, err, ids = self.cred("genkey", "new.key")
        self.assertEqual((c, ids), (0, ["ORV9204I"]), out + err)
        content = self.s.read("new.key")
        self.assertRegex(content, rb"^[A-Za-z0-9+/]{43}=\n$")
        if not WINDOWS:
            self.assertEqual(stat.S_IMODE(os.stat(self.s.path("new.key")).st_mode), 0o600)
        # orvseal refuses a key file that others may read (on Windows, by its access list).
        self.protect(key="new.key")
        self.assert_protected("keystore.conf", self.s.path("new.key"))
        c, out, err, ids = self.cred("genkey", "new.key")
        self.assertEqual((c, ids), (1, ["ORV9205E"]), out + err)
        self.assertEqual(self.s.read("new.key"), content)
        self.assertEqual(self.cred("genkey", host_path(self.s.path("no/such/dir.key")))[0], 1)
        # "-": the key on standard output alone, for a secret store; no file.
        before = sorted(os.listdir(self.s.dir))
        c, out, err, ids = self.cred("genkey", "-")
        self.assertEqual((c, ids), (0, ["ORV920DI"]), err)
        self.assertRegex(out, r"^[A-Za-z0-9+/]{43}=\n$")
        self.assertNotIn(out.strip(), err)
        self.assertEqual(sorted(os.listdir(self.s.dir)), before)


if __name__ == "__main__":
    unittest.main(verbosity=1)
