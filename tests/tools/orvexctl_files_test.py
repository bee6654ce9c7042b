#!/usr/bin/python3
"""orvexctl's file commands through its Linux wrapper against a simulated
jailbroken iPhone: listing, attributes, folders, copies both ways with CJK
names compared byte for byte, and deletion of a tree.
"""
import filecmp
import json
import os
import random
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from orvexctl_harness import IPHONE4S, Farm  # noqa: E402

MEDIA = "/var/mobile/Media"
MEDIA_ON_HOST = "private/var/mobile/Media"  # /var is a link to private/var


def make_tree(top):
    """A folder with CJK and other non-ASCII names, an empty file, an empty
    folder and a file of many transfer chunks."""
    rng = random.Random(20120625)
    files = {
        "大文件.bin": bytes(rng.getrandbits(8) for _ in range(300 * 1024 + 17)),
        "空.txt": b"",
        "子目录/笔记 \U0001F4DD.txt": "第一行\r\n第二行\n".encode("utf-8"),
        "子目录/深/データ.dat": bytes(range(256)) * 9,
    }
    for name, data in files.items():
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(top, "空目录"))
    return files


def tree(top):
    """Every folder and file below `top` with the file's bytes."""
    entries = {}
    for folder, dirs, names in os.walk(top):
        for d in dirs:
            entries[os.path.relpath(os.path.join(folder, d), top) + "/"] = None
        for n in names:
            with open(os.path.join(folder, n), "rb") as f:
                entries[os.path.relpath(os.path.join(folder, n), top)] = f.read()
    return entries


class Files(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.farm = Farm()
        cls.udid = cls.farm.create(IPHONE4S)

    @classmethod
    def tearDownClass(cls):
        cls.farm.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="orvexctl-files-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def ok(self, *args):
        result = self.farm.ctl(*args)
        self.assertEqual(result.code, 0, result)
        return result

    def host(self, device_path):
        return self.farm.host_path(self.udid, device_path)

    def test_ls_of_the_root(self):
        listed = json.loads(self.ok("ls", "/", "--json").out)
        on_host = {n[:-len(".symlink")] if n.endswith(".symlink") else n for n in os.listdir(self.host("/"))}
        self.assertEqual({e["Name"] for e in listed}, on_host)
        entries = {e["Name"]: e for e in listed}
        self.assertEqual(entries["Applications"]["Path"], "/Applications")
        self.assertEqual(entries["Applications"]["Type"], 0)
        self.assertEqual((entries["var"]["Type"], entries["var"]["LinkTarget"]), (2, "private/var"))
        self.assertRegex(entries["var"]["ModificationTime"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        text = self.ok("ls", "/").out
        self.assertRegex(text, r"(?m)^d +\d+ +\d{4}-\d\d-\d\d \d\d:\d\d  Applications$")
        self.assertRegex(text, r"(?m)^l +\d+ .* var -> private/var$")

    def test_push_then_pull_keeps_every_byte_and_name(self):
        source = os.path.join(self.work, "照片")
        files = make_tree(source)
        pushed = self.ok("push", source, MEDIA)
        self.assertIn("上传文件 ", pushed.err)
        self.assertIn("pushed %d files" % len(files), pushed.err)
        self.assertEqual(tree(self.host(MEDIA_ON_HOST + "/照片")), tree(source))

        listed = {e["Name"]: e for e in json.loads(self.ok("ls", MEDIA + "/照片", "--json").out)}
        self.assertEqual(set(listed), {"大文件.bin", "空.txt", "子目录", "空目录"})
        self.assertEqual(listed["大文件.bin"]["Size"], len(files["大文件.bin"]))
        self.assertEqual(listed["大文件.bin"]["Extension"], "bin")

        target = os.path.join(self.work, "下载")
        os.mkdir(target)
        pulled = self.ok("pull", MEDIA + "/照片", target)
        self.assertIn("下载文件 ", pulled.err)
        self.assertIn("100% ", pulled.err)
        self.assertEqual(tree(os.path.join(target, "照片")), tree(source))
        comparison = filecmp.dircmp(source, os.path.join(target, "照片"))
        self.assertEqual((comparison.left_only, comparison.right_only), ([], []))

        # One file, into a relative local folder.
        quiet = self.farm.ctl("-q", "pull", MEDIA + "/照片/子目录/深/データ.dat", os.path.relpath(target))
        self.assertEqual((quiet.code, quiet.err), (0, ""), quiet)

    def test_rm_removes_a_whole_tree(self):
        make_tree(os.path.join(self.work, "树"))
        self.ok("-q", "push", os.path.join(self.work, "树"), MEDIA)
        self.assertTrue(os.path.isdir(self.host(MEDIA_ON_HOST + "/树/子目录/深")))
        removed = self.ok("rm", MEDIA + "/树")
        lines = [line for line in removed.err.splitlines() if "删除 " in line]
        self.assertEqual(len(lines), 8, removed)  # 4 files, 3 folders below, the top last
        self.assertTrue(lines[-1].endswith("删除 " + MEDIA + "/树"), lines[-1])
        self.assertTrue(lines[-1].startswith("100% "), lines[-1])
        self.assertIn("removed 8 entries", removed.err)
        self.assertFalse(os.path.exists(self.host(MEDIA_ON_HOST + "/树")))
        gone = self.farm.ctl("stat", MEDIA + "/树")
        self.assertEqual(gone.code, 1, gone)
        again = self.farm.ctl("rm", MEDIA + "/树")
        self.assertEqual(again.code, 1, again)

    def test_mkdir_stat_mv(self):
        self.ok("mkdir", MEDIA + "/新建")
        made = json.loads(self.ok("stat", MEDIA + "/新建", "--json").out)
        self.assertEqual((made["Name"], made["Path"], made["Type"]), ("新建", MEDIA + "/新建", 0))
        self.assertEqual(self.farm.ctl("mkdir", MEDIA + "/没有/新建").code, 1)
        self.ok("mv", MEDIA + "/新建", MEDIA + "/改名")
        self.assertTrue(os.path.isdir(self.host(MEDIA_ON_HOST + "/改名")))
        self.assertFalse(os.path.exists(self.host(MEDIA_ON_HOST + "/新建")))
        self.assertIn("Type              directory\n", self.ok("stat", MEDIA + "/改名").out)
        self.ok("-q", "rm", MEDIA + "/改名")

    def test_a_failed_push_shows_the_reason(self):
        one = os.path.join(self.work, "one.txt")
        with open(one, "wb") as f:
            f.write(b"x")
        failed = self.farm.ctl("push", one, MEDIA + "/没有这个目录")
        self.assertEqual(failed.code, 1, failed)
        self.assertIn("UploadDirectoriesAndFilesToDevice returned 0", failed.err)
        self.assertTrue(any(line.startswith("  log: ") and line.endswith(": 写入文件时打开失败！")
                            for line in failed.err.splitlines()), failed)


if __name__ == "__main__":
    unittest.main(verbosity=2)
