#!/usr/bin/env python3
"""Runs scripts/android-check on copies of the tree, each with one mistake,
and expects it to fail with a message naming the file and line; the copy
without a mistake must pass."""

import argparse
import os
import re
import shutil
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COPIED = ["Android.bp", "scripts", "sepolicy", "service", "host/device/Android.bp",
          "interfaces", "impl"]


def append(rel, text):
    def edit(tree):
        with open(os.path.join(tree, rel), "a") as f:
            f.write(text)
    return edit


def replace(rel, old, new):
    def edit(tree):
        path = os.path.join(tree, rel)
        s = open(path).read()
        assert old in s, "%s does not hold %r" % (rel, old)
        open(path, "w").write(s.replace(old, new, 1))
    return edit


RC = "service/vendor.zyr.hardware.twinel@1.1-service.rc"
RECORD = "record.txt"


def record(*lines):
    def edit(tree):
        with open(os.path.join(tree, RECORD), "w") as f:
            f.write("".join(line + "\n" for line in lines))
    return edit


def both(*edits):
    def edit(tree):
        for e in edits:
            e(tree)
    return edit


PD = "/sys/class/twinel/tw2/tw2_pd /sys/devices/virtual/twinel/tw2/tw2_pd"
# (name, steps, mistake, expected message as a regular expression)
CASES = [
    ("clean", ["policy", "init"], None, None),
    ("policy syntax error", ["policy"],
     append("sepolicy/vendor/hal_twinel_default.te", "allow hal_twinel_default twx_type:file read;\n"),
     r"sepolicy/vendor/hal_twinel_default\.te:\d+:ERROR"),
    ("platform neverallow", ["policy"],
     append("sepolicy/vendor/hal_twinel_default.te",
            "allow hal_twinel_default device:chr_file { open read };\n"),
     r"neverallow on line \d+ of .*public/domain\.te .*violated by allow hal_twinel_default"),
    ("unknown label", ["policy"],
     append("sepolicy/vendor/file_contexts", "/dev/twx u:object_r:twx_device:s0\n"),
     r"sepolicy/vendor/file_contexts:\d+: type twx_device does not exist"),
    ("hwservice label of the wrong kind", ["policy"],
     replace("sepolicy/vendor/hwservice_contexts", "u:object_r:hal_twinel_hwservice:s0",
             "u:object_r:sysfs_twinel:s0"),
     r"sepolicy/vendor/hwservice_contexts:\d+: type sysfs_twinel is not a hwservice_manager_type"),
    ("rc names another executable", ["init"],
     replace(RC, "/vendor/bin/hw/vendor.zyr", "/vendor/bin/vendor.zyr"),
     r"runs /vendor/bin/vendor\.zyr.*installs /vendor/bin/hw/"),
    ("rc unknown group", ["init"], replace(RC, "usb wakelock", "usb wakelocks"),
     r"\.rc:\d+: unknown Android id 'wakelocks'"),
    ("rc without the 1.0 interface", ["init"],
     replace(RC, "    interface vendor.zyr.hardware.twinel@1.0::ITwinel default\n", ""),
     r"missing 'interface vendor\.zyr\.hardware\.twinel@1\.0::ITwinel default'"),
    ("matrix disagrees with the manifest", ["init"],
     replace("service/compatibility_matrix.twinel.xml", "<instance>default</instance>",
             "<instance>cover</instance>"),
     r"twinel@1\.1::ITwinel/default is not in the compatibility matrix"),
    ("malformed manifest", ["init"],
     replace("service/vendor.zyr.hardware.twinel@1.1-service.xml", "</hal>", "</hall>"),
     r"service\.xml:\d+: parser error"),
    ("recorded accesses with their rules", ["access"],
     record("rdwr chr /dev/ttyACM0 /dev/pts/3", "write file " + PD,
            "rdwr file /dev/bus/usb/001/002 /dev/bus/usb/001/002"), None),
    ("recorded node no contexts line names", ["access"],
     record("rdwr chr /dev/ttyUSB0 /dev/ttyUSB0"),
     r"rdwr /dev/ttyUSB0: no file_contexts line matches /dev/ttyUSB0"),
    ("recorded access without its allow rule", ["access"],
     both(record("write file " + PD),
          replace("sepolicy/vendor/hal_twinel_default.te",
                  "allow hal_twinel_default sysfs_twinel:file rw_file_perms;", "")),
     r"missing policy rule: allow hal_twinel_default sysfs_twinel:file write;"),
    ("recorded access the groups cannot make", ["access"],
     both(record("rdwr file /dev/bus/usb/001/002 /dev/bus/usb/001/002"),
          replace(RC, "group system usb wakelock", "group system wakelock")),
     r"rdwr /dev/bus/usb/001/002: mode 660 0:1018 \(ueventd\) denies user system"),
    ("empty record", ["access"], record(), r"the access record is empty"),
    ("ueventd bad mode", ["init"],
     replace("service/ueventd.twinel.rc", "0660   system     system", "660   system     system"),
     r"ueventd\.twinel\.rc:\d+: bad mode 660"),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    work = os.path.abspath(args.work)
    # The copies live elsewhere: point them at the platform files of this tree.
    env = dict(os.environ)
    env.setdefault("TWINEL_AOSP_DIR", os.path.join(os.path.dirname(TOP), "shared", "aosp"))
    os.makedirs(work, exist_ok=True)
    bad = 0
    for name, steps, mistake, expected in CASES:
        tree = os.path.join(work, "tree")
        shutil.rmtree(tree, ignore_errors=True)
        for rel in COPIED:
            src, dst = os.path.join(TOP, rel), os.path.join(tree, rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            (shutil.copytree if os.path.isdir(src) else shutil.copy2)(src, dst)
        if mistake:
            mistake(tree)
        cmd = [sys.executable, os.path.join(tree, "scripts", "android-check"),
               "--work", os.path.join(work, "check")]
        for s in steps:
            cmd += ["--only", s]
        if "access" in steps:
            cmd += ["--record", os.path.join(tree, RECORD)]
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True, env=env)
        if expected is None:
            ok = r.returncode == 0
        else:
            ok = r.returncode == 1 and re.search(expected, r.stdout) is not None
        print("%s: %s" % ("ok" if ok else "FAILED", name))
        if not ok:
            bad += 1
            print("  exit %d, expected %s; output:\n%s" % (r.returncode, expected or "0",
                                                          r.stdout))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
