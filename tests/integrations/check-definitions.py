"""The Icinga 2 CheckCommand against `wmicheck --help`: one argument per
option an engine passes, named after it, set_if for the flags, and each
description taken from the help. The agent snippet's commands against the
README's common checks.
usage: check-definitions.py INTEGRATIONS README.md HELP.txt"""
import re
import sys

defs, readme, help_file = sys.argv[1:4]
help_text = open(help_file).read()
flat = re.sub(r"\s+", " ", help_text)
# Not passed by an engine: --help, and --configure, --param, --print-param
# (the plug-in host's); --json (engines read the line).
options = set(re.findall(r"^  (?:-\w, )?(--[a-z-]+)", help_text, re.M)) - {
    "--help", "--configure", "--param", "--print-param", "--json"}
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
    if not text or text not in flat:
        errors.append("%s: description not from --help: %r" % (name, text))
    if variable not in body or ("set_if" in body) != (name in flags):
        errors.append("%s: %s" % (name, body.strip()))
section = open(readme).read().split("\n## Common checks\n")[1].split("\n## ")[0]
common = set(re.findall(r"^    (wmicheck .*)$", section, re.M))
ini = open(defs + "/agent/wmicheck-external-scripts.ini").read()
scripts = re.findall(r'^\w+ = "C:\\Program Files\\qvWMI\\wmicheck\.exe" (.*)$', ini, re.M)
if len(scripts) != len(common) or any("wmicheck " + s not in common for s in scripts):
    errors.append("agent commands %s are not the README's common checks %s" % (scripts, sorted(common)))
for error in errors:
    print("FAIL", error)
if errors:
    sys.exit(1)
print("ok   %d CheckCommand arguments: the options of --help, with their descriptions" % len(arguments))
print("ok   %d agent commands: the README's common checks" % len(scripts))
