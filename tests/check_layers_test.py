#!/usr/bin/env python3
"""The layer check on small trees of its own: each breach is named by file and line, a tree
that keeps the layers passes.
    tests/check_layers_test.py <source dir>
"""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(sys.argv.pop(1) if len(sys.argv) > 1 else
                      os.path.join(os.path.dirname(__file__), ".."), "scripts", "check-layers.py")

CMAKE = """
target_link_libraries(korvel_imageio PRIVATE korvel_base)
target_link_libraries(korvel_geometry PUBLIC korvel_project)
target_link_libraries(korvel_app PRIVATE korvel_geometry korvel_project
                      korvel_base)
"""

GOOD = {
    "base/timer.h": "#pragma once\n",
    "base/timer.cpp": '#include "base/timer.h"\n#include <cstdio>\n',
    "imageio/image.h": '#pragma once\n#include "base/timer.h"\n',
    "project/project.h": "#pragma once\n",
    "geometry/camera.h": '#pragma once\n#include "project/project.h"\n',
    "app/run.h": "#pragma once\n",
    "app/run.cpp": '#include "geometry/camera.h"\n#include "base/timer.h"\n',
}


class CheckLayers(unittest.TestCase):
    def run_check(self, files, cmake=CMAKE):
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "CMakeLists.txt"), "w") as f:
                f.write(cmake)
            for name, text in files.items():
                path = os.path.join(root, "src", name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
            done = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
            return done.returncode, done.stdout.splitlines()

    def breaches(self, name, text, cmake=CMAKE):
        code, lines = self.run_check(dict(GOOD, **{name: text}), cmake)
        self.assertEqual(code, 1 if lines else 0)
        return lines

    def test_layered_tree_passes(self):
        self.assertEqual(self.run_check(GOOD), (0, []))

    def test_higher_stage(self):
        lines = self.breaches("geometry/camera.cpp", '#include "geometry/camera.h"\n'
                              '#include "app/run.h"\n')
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith("src/geometry/camera.cpp:2:"), lines)
        self.assertIn("higher stage", lines[0])

    def test_bare_name(self):
        lines = self.breaches("base/timer.cpp", '#include "timer.h"\n')
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith("src/base/timer.cpp:1:"), lines)

    def test_stage_not_linked(self):
        lines = self.breaches("geometry/camera.cpp", '#include "base/timer.h"\n')
        self.assertEqual(len(lines), 1)
        self.assertIn("does not link korvel_base", lines[0])
        self.assertEqual(self.breaches("geometry/camera.cpp", '#include "base/timer.h"\n',
                                       CMAKE + "target_link_libraries(korvel_geometry PRIVATE "
                                       "korvel_base)\n"), [])

    def test_angle_brackets_and_unknown_folders(self):
        lines = self.breaches("app/run.cpp", "#include <project/project.h>\n"
                              '#include "nowhere/x.h"\n#include "base/gone.h"\n')
        self.assertEqual([line.split(" ")[0] for line in lines],
                         ["src/app/run.cpp:1:", "src/app/run.cpp:2:", "src/app/run.cpp:3:"])

    def test_link_to_higher_stage(self):
        lines = self.breaches("base/timer.h", "#pragma once\n",
                              CMAKE + "\ntarget_link_libraries(korvel_project PRIVATE korvel_app)\n")
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith("CMakeLists.txt:7:"), lines)


if __name__ == "__main__":
    unittest.main()
