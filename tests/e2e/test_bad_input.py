"""Bad things where the launcher looks: log paths it cannot use and resources that are not
as shipped. Whatever it meets, it does not crash, loses nothing that was there, and starts
the server wherever that can be done.

Read-only and full file systems are small tmpfs mounts: the tests run in a mount namespace
of their own (ctest starts them so), where such mounts are private and end with the test.
Root, which every permission check lets through, still cannot write to a read-only mount.
"""

import errno
import os
import subprocess
import unittest

from harness.case import LauncherTestCase

PAGE = 4096


def mount_tmpfs(path, size):
    path.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", str(path)],
                   check=True)


def remount_read_only(path):
    subprocess.run(["mount", "-o", "remount,ro", str(path)], check=True)


def fill(directory):
    """Writes a file into `directory` until its file system is full."""
    block = b"\0" * PAGE
    with open(directory / "filler", "wb", buffering=0) as stream:
        try:
            while True:
                stream.write(block)
        except OSError as error:
            if error.errno != errno.ENOSPC:
                raise


class LogPaths(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.log_dir = self.log_path.parent
        self.addCleanup(self.unmount)

    def unmount(self):
        if os.path.ismount(self.log_dir):
            subprocess.run(["umount", "-l", str(self.log_dir)], check=False)

    def require_mounts(self):
        probe = self.root / "mount-probe"
        try:
            mount_tmpfs(probe, PAGE)
        except (subprocess.CalledProcessError, FileNotFoundError):
            self.skipTest("tmpfs cannot be mounted here (needs root in a mount namespace)")
        subprocess.run(["umount", str(probe)], check=True)

    def run_launcher(self, wait_for_page=True):
        bundle = self.make_bundle(app="fixture")
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_event("listening")
        if wait_for_page:
            self.wait_for_urls(1)
            self.wait_for_event("request", path="/login")
        else:
            # Probes reach the server, and it is probed again: the wait goes on.
            self.wait_for_event("request", count=2)
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertEqual([e["name"] for e in self.app_events("signal")], ["SIGINT"])
        self.assert_no_alert()
        return self.launcher_output(launcher)

    def assert_output_stays_with_the_launcher(self, output):
        self.assertIn('"GET /login HTTP/1.1" 200', output)
        self.assertNotIn("--- Lumivane started", output)

    def test_a_dangling_link_is_left_alone_and_the_output_stays_with_the_launcher(self):
        self.log_dir.mkdir(parents=True)
        target = self.root / "elsewhere" / "log"
        os.symlink(target, self.log_path)
        output = self.run_launcher()
        self.assert_output_stays_with_the_launcher(output)
        self.assertTrue(self.log_path.is_symlink())
        self.assertFalse(os.path.lexists(target), "the link was followed to create a file")

    def test_a_read_only_log_is_kept_as_it_is(self):
        self.require_mounts()
        mount_tmpfs(self.log_dir, 64 * 1024)
        self.log_path.write_bytes(b"an earlier run\n")
        remount_read_only(self.log_dir)
        output = self.run_launcher()
        self.assert_output_stays_with_the_launcher(output)
        self.assertEqual(self.log_path.read_bytes(), b"an earlier run\n")

    def test_a_read_only_log_directory_gets_no_log(self):
        self.require_mounts()
        mount_tmpfs(self.log_dir, 64 * 1024)
        remount_read_only(self.log_dir)
        output = self.run_launcher()
        self.assert_output_stays_with_the_launcher(output)
        self.assertEqual(list(self.log_dir.iterdir()), [])

    def test_a_full_disk_keeps_what_the_log_held_and_the_server_still_starts(self):
        self.require_mounts()
        mount_tmpfs(self.log_dir, 16 * PAGE)
        # Exactly a page, so that not even the header fits after it.
        earlier = b"".join(b"earlier line %04d\n" % n for n in range(PAGE // 18))
        earlier += b"x" * (PAGE - len(earlier) - 1) + b"\n"
        self.log_path.write_bytes(earlier)
        fill(self.log_dir)
        # The fixture stops answering once it cannot write its request log, so the page
        # never opens; the launcher keeps waiting, and quits cleanly.
        self.run_launcher(wait_for_page=False)
        self.assertEqual(self.log_path.read_bytes(), earlier)


class MissingResources(LauncherTestCase):
    """Each leads to the alert that the server could not start, which names what is wrong;
    dismissing it ends the launcher. (A missing interpreter and a missing icon have their
    own scenarios.)"""
    accessibility = True

    def test_each_broken_bundle_is_named_in_the_alert(self):
        def not_executable(bundle):
            os.unlink(bundle.resources / "python")  # a link to the built environment
            bundle.interpreter.parent.mkdir(parents=True)
            bundle.interpreter.write_text("#!/bin/sh\nexit 0\n")
            bundle.interpreter.chmod(0o644)
            return f"The file \u201c{bundle.interpreter}\u201d is not executable."

        def no_app_directory(bundle):
            for entry in bundle.app_dir.iterdir():
                entry.unlink()
            bundle.app_dir.rmdir()
            return f"The working directory \u201c{bundle.app_dir}\u201d doesn't exist."

        for name, breaks in (("interpreter without the run bit", not_executable),
                             ("no lumivane directory", no_app_directory)):
            with self.subTest(name):
                bundle = self.make_bundle(app="fixture")
                expected = breaks(bundle)
                launcher = self.launch(bundle)
                try:
                    self.tray_item(launcher)
                    alert = self.wait_for_alert()
                    shown = self.read_alert(launcher)
                    self.assertIn("Lumivane couldn't start", shown.texts)
                    self.assertIn(expected + "\n\nTry downloading Lumivane again.", shown.texts)
                    self.answer_alert(alert, 0)
                    self.assertEqual(self.wait_for_exit(launcher), 0)
                    self.assertEqual(self.server_pids(), {})
                finally:
                    # A failed case ends its launcher, which would otherwise take the next
                    # launch for a second instance.
                    if launcher.poll() is None:
                        launcher.kill()
                        launcher.wait()
        self.wait_for_openers()
        self.assertEqual(self.desktop.opened_urls(), [])


if __name__ == "__main__":
    unittest.main()
