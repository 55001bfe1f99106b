#!/usr/bin/env python3
"""kqd's default config and man page stay true to kqd's options.

Against the kqd it is given:
  - every option of `kqd --help` (but --config, --check-config, --help,
    --version) is a setting in packaging/kqd/kqd.toml, under its TOML name
    (dashes as '_', plural for the repeatable ones; --mqtt-KEY as KEY in
    [mqtt]), and the default the file shows is the one --help shows;
  - every option is in the man page, and so is every setting of the file
    that has no option;
  - kqd accepts the file as shipped, and with every setting uncommented (so
    no key in it is unknown to kqd or of the wrong type), and refuses it
    with a key it does not know (so that check means something).
Usage: config_docs_test.py --kqd PATH --toml FILE --man FILE --www DIR
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

CLI_ONLY = {"config", "check-config", "help", "version"}


def fail(msg):
    print(f"config_docs_test: FAILED: {msg}", flush=True)
    sys.exit(1)


def help_options(kqd):
    """{option: (repeatable, default or None)} from kqd --help."""
    out = subprocess.run([kqd, "--help"], capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        fail(f"kqd --help: status {out.returncode}: {out.stderr}")
    options = {}
    current = None
    for line in out.stdout.splitlines():
        m = re.match(r"^\s{2}(--[a-z][a-z0-9-]*)((?:,\s*--[a-z][a-z0-9-]*)*)(.*)$", line)
        if m:
            names = [m.group(1)] + re.findall(r"--[a-z][a-z0-9-]*", m.group(2))
            for n in names:
                options[n[2:]] = m.group(3)
            current = names[-1][2:]
        elif current and line.startswith("    "):
            options[current] += " " + line.strip()
    result = {}
    for name, text in options.items():
        if name in CLI_ONLY:
            continue
        default = re.findall(r"\((?:default )?(\d+)\)", text)
        result[name] = ("repeatable" in text, default[-1] if default else None)
    if len(result) < 10:
        fail(f"found only {sorted(result)} in kqd --help: has its layout changed?")
    return result


def toml_key(option, repeatable):
    """(section, key) of an option."""
    if option == "mqtt":
        return "mqtt", "url"
    if option.startswith("mqtt-"):
        return "mqtt", option[5:].replace("-", "_")
    key = option.replace("-", "_")
    return "", key + "s" if repeatable else key


def toml_settings(path):
    """{(section, key): value text} of the commented-out settings."""
    settings = {}
    section = ""
    with open(path) as f:
        for line in f:
            m = re.match(r"^#?\[([a-z]+)\]\s*$", line)
            if m:
                section = m.group(1)
                continue
            m = re.match(r"^#([a-z][a-z0-9_]*) = (.*)$", line)
            if m:
                settings[(section, m.group(1))] = m.group(2).strip()
    return settings


def check_config(kqd, path, www):
    out = subprocess.run([kqd, "--config", path, "--www", www, "--check-config"],
                         capture_output=True, text=True, timeout=30)
    return out.returncode, (out.stdout + out.stderr).strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kqd", required=True)
    ap.add_argument("--toml", required=True)
    ap.add_argument("--man", required=True)
    ap.add_argument("--www", required=True)
    args = ap.parse_args()

    options = help_options(args.kqd)
    settings = toml_settings(args.toml)
    with open(args.man) as f:
        man = f.read().replace("\\-", "-").replace("\\(em", "")

    problems = []
    option_keys = set()
    for option, (repeatable, default) in sorted(options.items()):
        key = toml_key(option, repeatable)
        option_keys.add(key)
        where = f"[{key[0]}] {key[1]}" if key[0] else key[1]
        if key not in settings:
            problems.append(f"--{option}: no '#{where} = ...' in {args.toml}")
        elif default is not None and settings[key] != default:
            problems.append(f"--{option}: kqd --help says the default is {default}, "
                            f"{args.toml} says {settings[key]}")
        if f"--{option}" not in man:
            problems.append(f"--{option} is not in the man page")
    for key in sorted(set(settings) - option_keys):
        if key[0] == "" and not re.search(r"\b" + re.escape(key[1]) + r"\b", man):
            problems.append(f"setting '{key[1]}' (no option) is not in the man page")

    status, text = check_config(args.kqd, args.toml, args.www)
    if status != 0:
        problems.append(f"kqd refuses {args.toml} as shipped: {text}")

    with tempfile.TemporaryDirectory() as tmp:
        token = os.path.join(tmp, "token")
        with open(token, "w") as f:
            f.write("0123456789abcdef0123456789abcdef\n")
        lines = []
        with open(args.toml) as f:
            for line in f:
                if re.match(r"^#\[[a-z]+\]\s*$", line) or re.match(r"^#[a-z][a-z0-9_]* = ", line):
                    line = line[1:]
                line = re.sub(r'^((?:token|password)_file) = .*', rf'\1 = "{token}"', line)
                lines.append(line)
        # Every setting once: a key given twice is a TOML error of its own.
        uncommented = os.path.join(tmp, "all.toml")
        with open(uncommented, "w") as f:
            f.writelines(lines)
        status, text = check_config(args.kqd, uncommented, args.www)
        if status != 0:
            problems.append(f"kqd refuses {args.toml} with every setting uncommented: {text}")
        unknown = os.path.join(tmp, "unknown.toml")
        with open(unknown, "w") as f:
            f.write("no_such_setting = 1\n")
        status, text = check_config(args.kqd, unknown, args.www)
        if status == 0:
            problems.append("kqd --check-config accepts an unknown setting: this test checks nothing")

    if problems:
        fail("\n  " + "\n  ".join(problems))
    print(f"config_docs_test: {len(options)} options, {len(settings)} settings: in step", flush=True)


if __name__ == "__main__":
    main()
