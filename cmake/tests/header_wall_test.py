"""The header wall check against small trees: it passes a sound tree and names each breach."""
import contextlib
import io
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import header_wall  # noqa: E402

MARK = '#pragma once\n#error "internal"\n'
CXX_MARK = '#pragma once\n#ifndef __cplusplus\n#error "C++ only"\n#endif\n'
SOUND = {
    "core/vor_internal.h": MARK,
    "core/vor_cxx_only.h": CXX_MARK,
    "core/plain.h": "#pragma once\n#include <stdint.h>\nint32_t plain_Get(void);\n",
    "core/kit.h": '#pragma once\n#include "vor_cxx_only.h"\n#include "plain.h"\nnamespace kit { int f(); }\n',
    "core/plain_internal.h": '#pragma once\n#include "vor_internal.h"\n#include <string>\nstd::string g();\n',
    "core/plain.cpp": '#include "plain_internal.h"\n',
    "core/tests/plain_test.cpp": '#include "plain_internal.h"\n',
    "modules/m/m.cpp": '#include "plain.h"\n#include "kit.h"\n',
}


class HeaderWall(unittest.TestCase):
    def check(self, changes=(), removed=(), public_missing=(), compile_flags=None):
        with tempfile.TemporaryDirectory() as root:
            files = dict(SOUND)
            files.update(changes)
            for rel in removed:
                del files[rel]
            for rel, text in files.items():
                path = os.path.join(root, rel)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
            public = os.path.join(root, "build", "include")
            os.makedirs(public)
            with open(os.path.join(root, "build", "CMakeCache.txt"), "w") as f:
                f.write("# a build tree: never scanned\n")
            for h in header_wall.vorcore_headers(root, ["core"]):
                if not h.internal and h.name not in public_missing:
                    os.symlink(h.path, os.path.join(public, h.name))
            # Build trees are skipped: this one includes an internal header.
            with open(os.path.join(root, "build", "generated.cpp"), "w") as f:
                f.write('#include "plain_internal.h"\n')
            argv = ["--source", root, "--dirs", "core", "--public-include", public, "--cc", "gcc", "--cxx", "g++"]
            if compile_flags is not None:
                commands = [{"directory": os.path.join(root, "build"), "file": os.path.join(root, rel),
                             "command": f"g++ {flags} -c {os.path.join(root, rel)}"}
                            for rel, flags in compile_flags.items()]
                with open(os.path.join(root, "build", "compile_commands.json"), "w") as f:
                    json.dump(commands, f)
                argv += ["--compile-commands", os.path.join(root, "build", "compile_commands.json"),
                         "--own", "bench"]
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                code = header_wall.main(argv)
            return code, out.getvalue()

    def test_sound_tree_passes(self):
        code, out = self.check()
        self.assertEqual(code, 0, out)
        self.assertIn("3 public headers (2 C++ only), 2 internal; 0 problems", out)

    def test_outside_file_including_internal_header_fails(self):
        code, out = self.check({"modules/m/m_internal_use.cpp": '#include "../../core/plain_internal.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn('modules/m/m_internal_use.cpp:1: includes "../../core/plain_internal.h"', out)

    def test_public_header_that_is_not_c_fails(self):
        code, out = self.check({"core/kit.h": '#pragma once\n#include "plain.h"\nnamespace kit { int f(); }\n'})
        self.assertEqual(code, 1)
        self.assertIn("kit.h does not compile alone as c:", out)

    def test_public_header_needing_an_earlier_include_fails(self):
        code, out = self.check({"core/plain.h": "#pragma once\nint32_t plain_Get(void);\n"})
        self.assertEqual(code, 1)
        self.assertIn("plain.h does not compile alone as c:", out)
        self.assertIn("plain.h does not compile alone as c++:", out)

    def test_public_header_including_an_internal_one_fails(self):
        code, out = self.check({"core/plain.h": '#pragma once\n#include "plain_internal.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn("plain.h does not compile alone as c++:", out)

    def test_mark_after_another_include_fails(self):
        code, out = self.check({"core/plain_internal.h": '#pragma once\n#include <string>\n#include "vor_internal.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn('plain_internal.h: "vor_internal.h" must be its first include', out)

    def test_stale_public_folder_fails(self):
        code, out = self.check(public_missing={"plain.h"})
        self.assertEqual(code, 1)
        self.assertIn("lacks public header plain.h (re-run cmake)", out)

    def test_consumers_compiled_with_the_public_folder_only_pass(self):
        code, out = self.check(compile_flags={
            "core/plain.cpp": "-DVOR_BUILDING_VORCORE -I../core",
            "core/tests/plain_test.cpp": "-DVOR_TESTING_VORCORE -I../core",
            "bench/plain_bench.cpp": "-DVOR_TESTING_VORCORE -I../core",
            "modules/m/m.cpp": "-I../modules/m -Iinclude",
        })
        self.assertEqual(code, 0, out)

    def test_consumer_with_a_private_folder_on_its_include_path_fails(self):
        code, out = self.check(compile_flags={"modules/m/m.cpp": "-I../modules/m -I ../core"})
        self.assertEqual(code, 1)
        self.assertIn("modules/m/m.cpp: compiled with vorcore's private folder ../core", out)

    def test_consumer_compiled_as_part_of_vorcore_fails(self):
        code, out = self.check(compile_flags={"modules/m/m.cpp": "-DVOR_TESTING_VORCORE -Iinclude"})
        self.assertEqual(code, 1)
        self.assertIn("modules/m/m.cpp: compiled with -DVOR_TESTING_VORCORE", out)


if __name__ == "__main__":
    unittest.main()
