#!/usr/bin/env python3
"""The Home Assistant app's files against the Supervisor's rules as its developer documentation
gives them (docs/apps/configuration.md, repository.md, presentation.md): the repository file,
config.yaml's required keys and option schema, the translations, the pictures, the AppArmor
profile and the version. Usage: app_files_test.py SOURCE_ROOT RELEASE_VERSION. Prints
"app_files: N checks planned" first and "app_files: P passed, F failed" last.
"""
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import yaml

root = pathlib.Path(sys.argv[1])
release = sys.argv[2]
app = root / "app" / "vantrel"

checks = []


def check(function):
    checks.append(function)
    return function


def load(path):
    return yaml.safe_load(path.read_text(encoding="utf-8"))


# The documented option types: str, bool, int, float with optional (min,max), email, url,
# password, port, match(REGEX), list(a|b|...), device and device(filter); "?" makes one optional.
TYPE = re.compile(
    r"^(str|int|float)(\([0-9.-]*,[0-9.-]*\))?\??$"
    r"|^(bool|email|url|password|port)\??$"
    r"|^match\(.+\)\??$|^list\([^|()]+(\|[^|()]+)*\)\??$|^device(\(subsystem=[a-z_]+\))?\??$")
ARCHES = {"armhf", "armv7", "aarch64", "amd64", "i386"}


@check
def repository_file_at_the_root_has_a_name():
    repository = load(root / "repository.yaml")
    assert isinstance(repository.get("name"), str) and repository["name"], repository


@check
def required_keys_are_there_as_text_and_the_slug_is_uri_friendly():
    config = load(app / "config.yaml")
    for key in ("name", "version", "slug", "description"):
        assert isinstance(config.get(key), str) and config[key], f"{key}: {config.get(key)!r}"
    assert re.fullmatch(r"[a-z0-9_]+", config["slug"]), config["slug"]


@check
def arch_is_aarch64_and_amd64():
    assert load(app / "config.yaml")["arch"] == ["aarch64", "amd64"]
    assert set(load(app / "config.yaml")["arch"]) <= ARCHES


@check
def serial_adapters_mapped_and_picked_from_the_tty_subsystem():
    config = load(app / "config.yaml")
    assert config.get("uart") is True, config.get("uart")
    assert config["schema"]["serial_port"] == "device(subsystem=tty)", config["schema"]["serial_port"]
    assert "serial_port" not in config.get("options", {}), "a default port would make it optional"


@check
def needs_the_mqtt_service_and_names_an_image_per_arch_without_a_tag():
    config = load(app / "config.yaml")
    assert config["services"] == ["mqtt:need"], config["services"]
    assert "{arch}" in config["image"] and ":" not in config["image"].split("/")[-1], config["image"]


@check
def every_schema_value_is_a_documented_type_and_options_are_in_the_schema():
    config = load(app / "config.yaml")
    schema = config["schema"]
    bad = []
    for key, value in schema.items():
        fields = value[0] if isinstance(value, list) else {key: value}
        bad += [f"{key}.{k}: {v}" for k, v in fields.items() if not TYPE.match(str(v))]
    assert not bad, bad
    assert set(config.get("options", {})) <= set(schema), set(config["options"]) - set(schema)
    assert {"serial_port", "units", "node_id", "clock_rate", "reset_duration", "standby_duration",
            "frame_gap", "log_level", "mqtt_server", "mqtt_user", "mqtt_password"} <= set(schema)
    assert {"id", "name", "type", "dimmable", "dim_steps"} == set(schema["units"][0])


@check
def every_option_and_unit_field_is_translated_and_nothing_else():
    schema = load(app / "config.yaml")["schema"]
    translated = load(app / "translations" / "en.yaml")["configuration"]
    assert set(translated) == set(schema), set(translated) ^ set(schema)
    assert set(translated["units"]["fields"]) == set(schema["units"][0])
    entries = list(translated.values()) + list(translated["units"]["fields"].values())
    assert all(e.get("name") and e.get("description") for e in entries)


@check
def icon_and_logo_are_png_of_their_sizes():
    sizes = {}
    for name in ("icon.png", "logo.png"):
        data = (app / name).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n", name
        sizes[name] = struct.unpack(">II", data[16:24])
    assert sizes == {"icon.png": (128, 128), "logo.png": (250, 100)}, sizes


@check
def pictures_drawn_again_from_the_svg_are_the_same_bytes():
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([root / "scripts" / "draw-app-images", out], check=True)
        for name in ("icon.png", "logo.png"):
            assert (pathlib.Path(out) / name).read_bytes() == (app / name).read_bytes(), name


@check
def apparmor_profile_parses_and_is_named_by_the_slug():
    profile = (app / "apparmor.txt").read_text()
    slug = load(app / "config.yaml")["slug"]
    assert re.search(rf"^profile {slug} ", profile, re.M), "no profile named " + slug
    parser = shutil.which("apparmor_parser") or "/usr/sbin/apparmor_parser"
    # -Q: everything but loading it into the kernel; -K: no cache, which needs the kernel too.
    result = subprocess.run([parser, "-Q", "-K", app / "apparmor.txt"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@check
def version_is_the_release_and_a_mismatch_is_refused():
    script = root / "scripts" / "check-app-version"
    same = subprocess.run([script, "--release", release], capture_output=True, text=True)
    assert same.returncode == 0 and same.stdout.strip() == release, same
    other = subprocess.run([script, "--release", release + "1"], capture_output=True, text=True)
    assert other.returncode != 0 and "release" in other.stderr, other


@check
def changelog_has_the_version_and_docs_show_the_options():
    assert f"## {release}" in (app / "CHANGELOG.md").read_text()
    docs = (app / "DOCS.md").read_text()
    missing = [k for k in load(app / "config.yaml")["schema"] if f"**{k}**" not in docs]
    assert not missing, missing


print(f"app_files: {len(checks)} checks planned")
passed = failed = 0
for function in checks:
    try:
        function()
        print("ok   " + function.__name__)
        passed += 1
    except Exception as e:  # one check's fault, whatever it is, is that check's failure
        print(f"FAIL {function.__name__}: {type(e).__name__}: {e}")
        failed += 1
print(f"app_files: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
