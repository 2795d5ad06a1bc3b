"""The setup script's apt sections: the machine's archives for main, with contrib and
non-free, from a deb822 file or a one-line list."""

import os
import subprocess

SETUP = os.path.join(os.path.dirname(__file__), "..", "setup.sh")


def _run(function, path):
  cmd = f'QUELT_SETUP_FUNCTIONS_ONLY=1 source "{SETUP}"; {function} "{path}"'
  return subprocess.run(["bash", "-c", cmd], capture_output=True, text=True, check=True).stdout


def test_deb822_stanzas_serving_main_are_copied_with_the_other_sections(tmp_path):
  src = tmp_path / "debian.sources"
  src.write_text(
      "Types: deb\n# a mirror\nURIs: http://deb.example/debian\nSuites: bookworm bookworm-updates\n"
      "Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n"
      "Types: deb\nURIs: http://other.example/x\nSuites: stable\nComponents: extras\n\n"
      "Types: deb\nURIs: http://off.example/debian\nSuites: bookworm\nComponents: main\n"
      "Enabled: no\n\n"
      "Types: deb\nURIs: http://deb.example/debian-security\nSuites: bookworm-security\n"
      "Components: main non-free-firmware\n")
  out = _run("deb822_with_sections", src)
  stanzas = [s for s in out.split("\n\n") if s.strip()]
  assert len(stanzas) == 2
  assert stanzas[0].splitlines() == [
      "Types: deb", "URIs: http://deb.example/debian", "Suites: bookworm bookworm-updates",
      "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg", "Components: contrib non-free"]
  assert "debian-security" in stanzas[1] and stanzas[1].endswith("Components: contrib non-free")
  assert "main" not in out and "extras" not in out and "off.example" not in out


def test_one_line_entries_serving_main_are_copied_with_the_other_sections(tmp_path):
  src = tmp_path / "sources.list"
  src.write_text("deb http://deb.example/debian bookworm main contrib\n"
                 "# deb http://commented.example/debian bookworm main\n"
                 "deb-src http://deb.example/debian bookworm main\n"
                 "deb [signed-by=/k.gpg] http://deb.example/debian-security bookworm-security main\n"
                 "deb http://third.example/ stable extras\n")
  assert _run("list_with_sections", src).splitlines() == [
      "deb http://deb.example/debian bookworm contrib non-free",
      "deb [signed-by=/k.gpg] http://deb.example/debian-security bookworm-security contrib non-free"]
