"""End-to-end tests: a run by root or an administrator cannot be steered by
another local user who can write where it works. Run as a user runs them
(under Wine for the Windows build); the environment names what to run: see
harness.py. The cases of another account need root on Linux: the test gives
files to the account 1234 instead of logging in as it."""

import os
import shutil
import stat
import unittest

from harness import CRED, EXE, WINDOWS, Result, Scratch, host_path

OTHER = 1234
AS_ROOT = not WINDOWS and os.geteuid() == 0


class SafetyTest(unittest.TestCase):
    def setUp(self):
        self.s = Scratch(self, "orvseal-safety-")
        self.s.write("k.key", "the keystore's key\n")

    def seal(self, *args, env=None, preexec_fn=None):
        return Result(self.s.run(*args, env=env, preexec_fn=preexec_fn))

    def test_a_relative_key_file_is_taken_from_the_keystore_folder(self):
        self.s.write("store/ks.conf", "orvcred.keyfile = k.key\npem.password = v\n")
        self.s.write("store/k.key", "the keystore folder's key\n")
        # Another user's key in the folder the run starts from is never taken.
        r = self.seal("-f", host_path(self.s.path("store/ks.conf")))
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I"]), r)
        r = Result(self.s.run("reveal", "-f", host_path(self.s.path("store/ks.conf")),
                              "pem.password", exe=CRED))
        self.assertEqual((r.code, r.stdout), (0, "v\n"), r)

    @unittest.skipIf(WINDOWS, "FIFOs and the umask are POSIX's")
    def test_the_trace_file_is_owner_only_and_never_a_fifo(self):
        self.s.write("ks.conf", "pem.password = v\n")
        os.mkfifo(self.s.path("fifo"))
        r = self.seal("-f", "ks.conf", "-sf", "k.key", env={"VKT_TRACE": "fifo"})
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I", "ORV9117W"]), r)
        old = os.umask(0)
        try:
            r = self.seal("-f", "ks.conf", "-sf", "k.key", env={"VKT_TRACE": "trace.log"})
        finally:
            os.umask(old)
        self.assertEqual(stat.S_IMODE(os.stat(self.s.path("trace.log")).st_mode), 0o600)

    @unittest.skipUnless(AS_ROOT, "another account's files need root to make")
    def test_another_users_files_and_links_steer_nothing(self):
        self.s.write("ks.conf", "pem.password = v\n")
        self.s.write("root-only.conf", "root's own text\n")
        os.chown(self.s.path("k.key"), OTHER, OTHER)
        r = self.seal("-f", "ks.conf", "-sf", "k.key")
        self.assertEqual((r.code, r.ids), (84, ["ORV633BE"]), r)
        os.chown(self.s.path("k.key"), 0, 0)
        # A shared folder like /tmp: sticky and writable by everyone.
        os.mkdir(self.s.path("shared"))
        os.chmod(self.s.path("shared"), 0o1777)
        planted = self.s.write("shared/out.conf", "", mode=0o666)
        os.chown(planted, OTHER, OTHER)
        os.symlink(self.s.path("root-only.conf"), self.s.path("shared/link.conf"))
        os.lchown(self.s.path("shared/link.conf"), OTHER, OTHER)
        cases = [(("-f", "ks.conf", "-o", "shared/out.conf"), ["ORV9119E"]),
                 (("-f", "ks.conf", "-o", "shared/link.conf"), ["ORV9118E"]),
                 (("-f", "shared/link.conf"), ["ORV9118E"])]
        for args, ids in cases:
            r = self.seal(*args, "-sf", "k.key")
            self.assertEqual((r.code, r.ids), (23, ids), (args, r))
        self.assertEqual(self.s.text("shared/out.conf"), "")
        self.assertEqual(self.s.text("root-only.conf"), "root's own text\n")
        self.assertEqual(self.s.text("ks.conf"), "pem.password = v\n")
        # Run by that user in a folder it may write: root's keystore becomes its
        # own, and the run says so.
        os.mkdir(self.s.path("open"))
        os.chmod(self.s.path("open"), 0o777)
        os.chmod(self.s.dir, 0o755)
        self.s.write("open/ks.conf", "pem.password = v\n", mode=0o666)
        theirs = self.s.write("open/their.key", "their key\n")
        os.chown(theirs, OTHER, OTHER)
        r = self.seal("-f", "open/ks.conf", "-sf", "open/their.key",
                      preexec_fn=lambda: (os.setgroups([]), os.setgid(OTHER), os.setuid(OTHER)))
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I", "ORV911CW"]), r)
        # Root's own link there is followed.
        os.lchown(self.s.path("shared/link.conf"), 0, 0)
        self.assertEqual(self.seal("-f", "shared/link.conf", "-sf", "k.key").code, 0)


    def other_link(self, name, target):
        """A link that the other account owns."""
        os.symlink(target, self.s.path(name))
        os.lchown(self.s.path(name), OTHER, OTHER)

    @unittest.skipUnless(AS_ROOT, "another account's files need root to make")
    def test_no_link_of_another_user_is_followed_anywhere_on_the_path(self):
        self.s.write("ks.conf", "pem.password = v\n")
        secret = self.s.write("root-only.conf", "root's own text\n")
        # A folder of the other user's, neither sticky nor open to all.
        os.mkdir(self.s.path("theirs"))
        os.chown(self.s.path("theirs"), OTHER, OTHER)
        self.other_link("theirs/out.conf", secret)
        # Root's own link that leads to the other user's link.
        os.mkdir(self.s.path("shared"), 0o1777)
        os.chmod(self.s.path("shared"), 0o1777)
        self.other_link("shared/their-link", secret)
        os.symlink(self.s.path("shared/their-link"), self.s.path("roots-link"))
        # A keystore whose key file name is the other user's link to a root
        # file whose content that user knows.
        self.s.write("store/ks.conf", "orvcred.keyfile = initial.key\npem.password = v\n")
        self.other_link("store/initial.key", secret)
        cases = [(("-f", "ks.conf", "-o", "theirs/out.conf", "-sf", "k.key"), "theirs/out.conf"),
                 (("-f", "ks.conf", "-o", "roots-link", "-sf", "k.key"), "shared/their-link"),
                 (("-f", "roots-link", "-sf", "k.key"), "shared/their-link"),
                 (("-f", "ks.conf", "-sf", "roots-link"), "shared/their-link"),
                 (("-f", "store/ks.conf",), "store/initial.key")]
        for args, link in cases:
            r = self.seal(*args)
            self.assertEqual((r.code, r.ids), (23, ["ORV9118E"]), (args, r))
            self.assertIn("%s'" % link, r.stderr + r.stdout, args)
        r = Result(self.s.run("check", "-f", "store/ks.conf", exe=CRED))
        self.assertEqual((r.code, r.ids), (23, ["ORV9118E"]), r)
        self.assertEqual(self.s.text("root-only.conf"), "root's own text\n")
        self.assertEqual(self.s.text("ks.conf"), "pem.password = v\n")
        self.assertEqual(self.s.text("store/ks.conf"),
                         "orvcred.keyfile = initial.key\npem.password = v\n")

    @unittest.skipUnless(AS_ROOT, "another account's files need root to make")
    def test_the_trace_never_goes_to_another_users_file(self):
        self.s.write("ks.conf", "pem.password = v\n")
        theirs = self.s.write("their.log", "", mode=0o666)
        os.chown(theirs, OTHER, OTHER)
        os.mkdir(self.s.path("logs"))
        self.other_link("their-folder", self.s.path("logs"))
        for trace in ("their.log", "their-folder/trace.log"):
            r = self.seal("-f", "ks.conf", "-sf", "k.key", env={"VKT_TRACE": trace})
            self.assertEqual((r.code, r.ids), (0, ["ORV9105I", "ORV9117W"]), (trace, r))
            self.s.write("ks.conf", "pem.password = v\n")
        self.assertEqual(self.s.text("their.log"), "")
        self.assertEqual(os.listdir(self.s.path("logs")), [])

    @unittest.skipUnless(AS_ROOT, "another account's files need root to make")
    def test_what_cannot_be_kept_is_named_and_remedies_quote_names(self):
        # A key file whose name holds a quote: the remedy stays one word.
        self.s.write("ks.conf", "pem.password = v\n")
        quoted = self.s.write("it's.key", "their key\n")
        os.chown(quoted, OTHER, OTHER)
        r = self.seal("-f", "ks.conf", "-sf", "it's.key")
        self.assertEqual((r.code, r.ids), (84, ["ORV633BE"]), r)
        self.assertIn("""chown "$(id -un)" 'it'\\''s.key' as root""", r.stdout + r.stderr)
        # Run by the other user on its own keystore of root's group, which it
        # is not in: the group cannot be kept, is named, and gets nothing.
        os.mkdir(self.s.path("open"), 0o777)
        os.chmod(self.s.path("open"), 0o777)
        os.chmod(self.s.dir, 0o755)
        store = self.s.write("open/ks.conf", "pem.password = v\n", mode=0o640)
        os.chown(store, OTHER, 0)
        key = self.s.write("open/their.key", "their key\n")
        os.chown(key, OTHER, OTHER)
        r = self.seal("-f", "open/ks.conf", "-sf", "open/their.key",
                      preexec_fn=lambda: (os.setgroups([]), os.setgid(OTHER), os.setuid(OTHER)))
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I", "ORV911CW"]), r)
        self.assertIn("now has the group of the account", r.stdout + r.stderr)
        status = os.stat(store)
        self.assertEqual((status.st_uid, stat.S_IMODE(status.st_mode)), (OTHER, 0o600))

    @unittest.skipUnless(AS_ROOT, "another account's files need root to make")
    def test_a_key_file_of_roots_may_let_its_group_read_it(self):
        as_other = lambda: (os.setgroups([]), os.setgid(OTHER), os.setuid(OTHER))
        os.chmod(self.s.dir, 0o755)
        self.s.write("ks.conf", "pem.password = v\n", mode=0o644)
        key = self.s.write("service.key", "the service's key\n", mode=0o640)
        os.chown(key, 0, OTHER)
        # Root protects; the service, in the key's group, reads the value.
        self.assertEqual(self.seal("-f", "ks.conf", "-sf", "service.key").ids, ["ORV9105I"])
        r = Result(self.s.run("reveal", "-f", "ks.conf", "-sf", "service.key", "pem.password",
                              exe=CRED, preexec_fn=as_other))
        self.assertEqual((r.code, r.stdout), (0, "v\n"), r)
        # The group may not write it, and a key of the caller's own keeps its
        # group out entirely.
        os.chmod(key, 0o660)
        r = self.seal("-f", "ks.conf", "-sf", "service.key")
        self.assertEqual((r.code, r.ids), (83, ["ORV633AE"]), r)
        os.chmod(key, 0o640)
        os.chown(key, OTHER, OTHER)
        r = Result(self.s.run("reveal", "-f", "ks.conf", "-sf", "service.key", "pem.password",
                              exe=CRED, preexec_fn=as_other))
        self.assertEqual((r.code, r.ids), (83, ["ORV633AE"]), r)

    @unittest.skipUnless(WINDOWS, "the DLL search order is Windows'")
    def test_no_dll_is_taken_from_the_programs_folder(self):
        # Whoever may write the program's folder plants system DLLs there; a
        # copy of each program runs beside them, as if installed there.
        for exe in (EXE, CRED):
            shutil.copy(exe, self.s.dir)
        for name in ("bcrypt.dll", "crypt32.dll"):
            shutil.copy(os.environ["ORV_PLANTED_DLL"], self.s.path(name))
        self.s.write("ks.conf", "pem.password = v\n")
        env = {"WINEDLLOVERRIDES": "bcrypt,crypt32=n,b"}
        seal = self.s.path(os.path.basename(EXE))
        r = Result(self.s.run("-f", "ks.conf", "-sf", "k.key", env=env, exe=seal))
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I"]), r)
        cred = self.s.path(os.path.basename(CRED))
        r = Result(self.s.run("reveal", "-f", "ks.conf", "-sf", "k.key", "pem.password",
                              env=env, exe=cred))
        self.assertEqual((r.code, r.stdout), (0, "v\n"), r)

    @unittest.skipUnless(WINDOWS, "streams and UTF-16 names are Windows'")
    def test_windows_names(self):
        self.s.write("ks.conf", "pem.password = v\n")
        # A stream of the keystore, or of a new -o, is no file of its own.
        for args in (("-f", "ks.conf:copy"), ("-f", "ks.conf", "-o", "ks.conf:copy")):
            r = self.seal(*args, "-sf", "k.key")
            self.assertNotEqual(r.code, 0, (args, r))
            self.assertIn("ORV9106E" if "-o" in args else "ORV9062E", r.ids, (args, r))
        self.assertEqual(os.listdir(self.s.dir).count("ks.conf:copy"), 0)
        # The path limit counts characters, not UTF-8 bytes: 200 Cyrillic
        # letters are 400 bytes.
        folder = "\u0436" * 100
        name = "\u0449" * 100 + ".conf"
        self.s.write(folder + "/" + name, "pem.password = v\n")
        r = self.seal("-f", folder + "\\" + name, "-sf", "k.key")
        self.assertEqual((r.code, r.ids), (0, ["ORV9105I"]), r)
        self.assertIn("<ORV>", self.s.text(folder + "/" + name))

if __name__ == "__main__":
    unittest.main(verbosity=1)
