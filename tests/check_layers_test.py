#!/usr/bin/env python3
"""The layer check names each breach by file and line: tests/check_layers_test.py <source dir>"""
import os
import pathlib
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

CAMERA, TIMER, RUN = "geometry/camera.cpp", "base/timer.cpp", "app/run.cpp"
LINK_BASE = "target_link_libraries(korvel_geometry PRIVATE korvel_base)\n"
# A file and its text (None: the tree as it is), lines for CMakeLists.txt, and breaches expected.
CASES = [
    (None, None, "", []),
    (CAMERA, '#include "geometry/camera.h"\n#include "app/run.h"\n', "",
     [("src/geometry/camera.cpp:2:", "higher stage")]),
    (TIMER, '#include "timer.h"\n', "", [("src/base/timer.cpp:1:", "")]),
    (CAMERA, '#include "base/timer.h"\n', "",
     [("src/geometry/camera.cpp:1:", "does not link korvel_base")]),
    (CAMERA, '#include "base/timer.h"\n', LINK_BASE, []),
    (RUN, '#include <project/project.h>\n#include "nowhere/x.h"\n#include "base/gone.h"\n', "",
     [("src/app/run.cpp:1:", ""), ("src/app/run.cpp:2:", ""), ("src/app/run.cpp:3:", "")]),
    ("base/timer.h", "#pragma once\n",
     "\ntarget_link_libraries(korvel_project PRIVATE korvel_app)\n",
     [("CMakeLists.txt:7:", "")]),
]


class CheckLayers(unittest.TestCase):
    def test_breaches_by_file_and_line(self):
        for name, text, cmake, expected in CASES:
            files = dict(GOOD, **({name: text} if name else {}))
            with self.subTest(name=name, text=text, cmake=cmake), \
                    tempfile.TemporaryDirectory() as root:
                pathlib.Path(root, "CMakeLists.txt").write_text(CMAKE + cmake)
                for file, content in files.items():
                    path = pathlib.Path(root, "src", file)
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_text(content)
                ran = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
                lines = ran.stdout.splitlines()
                self.assertEqual(ran.returncode, 1 if expected else 0)
                self.assertEqual([line.split(" ")[0] for line in lines], [w for w, _ in expected])
                for line, (_, part) in zip(lines, expected):
                    self.assertIn(part, line)


if __name__ == "__main__":
    unittest.main()
