"""The Icinga 2 CheckCommand against `wmicheck --help`: one argument per
option an engine passes, named after it, set_if for the flags, and each
description taken from the help; the password only through the environment.
The agent ini's commands against the README's common checks and the Nagios
commands. No shipped definition puts a password on the command line or
asks for the plug-in's last-instance rule.
usage: check-definitions.py INTEGRATIONS README.md HELP.txt"""
import os
import re
import sys

defs, readme, help_file = sys.argv[1:4]
help_text = open(help_file).read()
flat = re.sub(r"\s+", " ", help_text)
# Not passed by an engine: --help, and --configure, --param, --print-param
# (the plug-in host's); --json (engines read the line); --password (visible
# in process listings: the environment carries it); --last-instance (the
# plug-in's rule, not a monitoring plugin's); --version, --verbose and
# --diagnose (for a person at a prompt).
options = set(re.findall(r"^  (?:-\w, )?(--[a-z-]+)", help_text, re.M)) - {
    "--help", "--configure", "--param", "--print-param", "--json", "--password", "--last-instance",
    "--version", "--verbose", "--diagnose"}
# Options the runner accepts that this --help may not list yet: an argument
# for each is required, its description is checked once --help has one.
pending = {"--auth", "--exclude"} - options
options |= pending
flags = {"--count", "--age", "--allow-empty"}
conf = open(defs + "/icinga2/wmicheck-command.conf").read()
arguments = dict(re.findall(r'"(--[a-z-]+)" = \{(.*?)\n    \}', conf, re.S))
errors = []
if set(arguments) != options:
    errors.append("arguments %s, options %s" % (sorted(arguments), sorted(options)))
for name, body in arguments.items():
    variable = "$wmicheck_%s$" % name[2:].replace("-", "_")
    found = re.search(r'description = "((?:[^"\\]|\\.)*)"', body)
    text = found and re.sub(r"\\(.)", r"\1", found.group(1))
    if not text or (text not in flat and name not in pending):
        errors.append("%s: description not from --help: %r" % (name, text))
    if variable not in body or ("set_if" in body) != (name in flags):
        errors.append("%s: %s" % (name, body.strip()))
if not re.search(r'env = \{\s*WMICHECK_PASSWORD = "\$wmicheck_password\$"\s*\}', conf):
    errors.append("the CheckCommand does not pass $wmicheck_password$ as WMICHECK_PASSWORD")

section = open(readme).read().split("\n## Common checks\n")[1].split("\n## ")[0]
common = set(re.findall(r"^    (wmicheck .*)$", section, re.M))
# The agent ini: its sections, and one section per command.
sections, section = {}, None
for line in open(defs + "/agent/wmicheck-external-scripts.ini", encoding="utf-8"):
    line = line.strip()
    if line.startswith("["):
        section = sections.setdefault(line.strip("[]"), {})
    elif line and not line.startswith(";") and section is not None:
        key, _, value = (field.strip() for field in line.partition("="))
        section[key] = value
prefix = "/settings/external scripts/scripts/"
scripts = {}
for name, keys in sections.items():
    if not name.startswith(prefix):
        continue
    found = re.match(r'"C:\\Program Files\\qvWMI\\wmicheck\.exe" (.*)$', keys.get("command", ""))
    scripts[name[len(prefix):]] = found.group(1) if found else keys.get("command")
    if keys.get("encoding") != "utf8":
        errors.append("agent command %s: wmicheck's UTF-8 read as %s" % (name, keys.get("encoding", "the code page")))
for module in ("CheckExternalScripts", "NRPEServer"):
    if sections.get("/modules", {}).get(module) != "enabled":
        errors.append("the agent ini does not enable the module %s" % module)
# wmicheck ends within its 30 s time-out plus 1 s.
for name in ("/settings/external scripts", "/settings/NRPE/server"):
    if int(sections.get(name, {}).get("timeout", "0")) <= 31:
        errors.append("%s: time-out %s, not above wmicheck's 31 s" % (name, sections.get(name, {}).get("timeout")))
if len(scripts) != len(common) or any("wmicheck " + s not in common for s in scripts.values()):
    errors.append("agent commands %s are not the README's common checks %s" % (sorted(scripts.values()), sorted(common)))
nagios = open(defs + "/nagios/wmicheck-commands.cfg").read()
asked = set(re.findall(r"check_nrpe .*-c (\w+)$", nagios, re.M))
if asked != set(scripts):
    errors.append("the Nagios commands ask for %s, the agent has %s" % (sorted(asked), sorted(scripts)))

for folder, _, names in os.walk(defs):
    for name in names:
        text = open(os.path.join(folder, name), encoding="utf-8").read()
        for option in re.findall(r"(?:^|[\s\"])(--password|--last-instance)(?=[\s\"=])", text, re.M):
            errors.append("%s uses %s" % (name, option))

for error in errors:
    print("FAIL", error)
if errors:
    sys.exit(1)
print("ok   %d CheckCommand arguments: the options of --help, with their descriptions; the password through the environment" % len(arguments))
print("ok   %d agent commands: the README's common checks, each asked for by a Nagios command" % len(scripts))
