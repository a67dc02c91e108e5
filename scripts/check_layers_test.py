#!/usr/bin/env python3
"""Runs check_layers on small trees made for the purpose: it must pass a
clean tree and name every include of a layer that is not below the file's
own, with its file and line."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "check_layers")
ROOT = os.path.dirname(HERE)


def write(root, path, text):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w", encoding="utf-8") as f:
        f.write(text)


def check(root):
    run = subprocess.run([sys.executable, CHECK, root], capture_output=True,
                         text=True, check=False)
    return run.returncode, run.stdout.splitlines()


class CheckLayersTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="check-layers-")
        # A copy of a small part of the real tree, which is clean.
        shutil.copytree(os.path.join(ROOT, "platform", "base"),
                        os.path.join(self.root, "platform", "base"))
        write(self.root, "device/capture.h",
              '#include "platform/pkio/pkiolib.h"\n'
              '#include "device/switch_table.h"\n')
        write(self.root, "platform/pkio/pkiolib.h",
              '#include "platform/base/types.h"\n')

    def tearDown(self):
        shutil.rmtree(self.root)

    def test_a_clean_tree_passes(self):
        self.assertEqual(check(self.root), (0, []))

    def test_every_include_of_a_layer_not_below_is_named(self):
        write(self.root, "platform/pkio/simulated.cc",
              '#include "platform/pkio/pkiolib.h"\n'
              '\n'
              '  #  include "simulator/generator.h"\n')
        write(self.root, "platform/registry/hive.cc",
              '#include "platform/ui/message_box.h"\n')
        write(self.root, "platform/base/base_test.cc",
              '#include "platform/base/types.h"\n'
              '#include "device/capture.h"\n')
        # Build trees and the scripts are not looked at.
        write(self.root, "build/dev/platform/base/x.cc",
              '#include "device/capture.h"\n')
        code, lines = check(self.root)
        self.assertEqual(code, 1)
        self.assertEqual(sorted(lines), sorted([
            "platform/base/base_test.cc:2: platform/base includes "
            "device/capture.h of device, which is not below it",
            "platform/pkio/simulated.cc:3: platform/pkio includes "
            "simulator/generator.h of simulator, which is not below it",
            "platform/registry/hive.cc:1: platform/registry includes "
            "platform/ui/message_box.h of platform/ui, which is not below it",
        ]))


if __name__ == "__main__":
    unittest.main()
