"""The Icinga 2 CheckCommands against `wmicheck --help`: one argument per
option an engine passes, named after it, set_if for the flags, and each
description taken from the help; the password only through the environment.
The agent ini's commands against the README's common checks and the Nagios
commands. No shipped definition puts a password on the command line or
asks for the plug-in's last-instance rule.
With --linux, the Linux route: the CheckCommand "wmicheck-winrm" against the
Linux `wmicheck --help`, and the Nagios WinRM commands, with the arguments
their example services give them, against the README's common checks.
usage: check-definitions.py [--linux] INTEGRATIONS README.md HELP.txt"""
import os
import re
import shlex
import sys

linux = sys.argv[1] == "--linux"
defs, readme, help_file = sys.argv[1 + linux:4 + linux]
errors = []


def check_command(conf_file, excluded, flags, pending=frozenset()):
    """The arguments of the CheckCommand in conf_file against the options of
    --help, less those excluded; returns how many it has."""
    help_text = open(help_file).read()
    flat = re.sub(r"\s+", " ", help_text)
    options = set(re.findall(r"^  (?:-\w, )?(--[a-z-]+)", help_text, re.M)) - excluded
    # Options the runner accepts that this --help may not list yet: an
    # argument for each is required, its description is checked once --help
    # has one.
    pending = pending - options
    options |= pending
    conf = open(conf_file).read()
    arguments = dict(re.findall(r'"(--[a-z-]+)" = \{(.*?)\n    \}', conf, re.S))
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
    return len(arguments)


def finish(*passed):
    """No shipped definition passes a password or the plug-in's rule; then
    the failures, or what passed."""
    for folder, _, names in os.walk(defs):
        for name in names:
            text = open(os.path.join(folder, name), encoding="utf-8").read()
            for option in re.findall(r"(?:^|[\s\"])(--password|--last-instance)(?=[\s\"=])", text, re.M):
                errors.append("%s uses %s" % (name, option))
    for error in errors:
        print("FAIL", error)
    if errors:
        sys.exit(1)
    for line in passed:
        print("ok  ", line)
    sys.exit(0)


section = open(readme).read().split("\n## Common checks\n")[1].split("\n## ")[0]
common = set(re.findall(r"^    (wmicheck .*)$", section, re.M))

if linux:
    # Not passed by an engine: --help, --version, --verbose and --diagnose
    # (for a person at a prompt); --json (engines read the line); --insecure
    # (for tests: a monitored server's certificate is always checked).
    count = check_command(defs + "/icinga2/wmicheck-winrm-command.conf",
                          {"--help", "--version", "--verbose", "--diagnose", "--json", "--insecure"},
                          {"--count", "--age", "--allow-empty", "--https"})
    # Each Nagios WinRM command: the connection, then the check's options;
    # with its example service's arguments, one of the README's checks.
    connection = ["$USER1$/wmicheck", "-H", "$HOSTNAME$", "--address", "$HOSTADDRESS$", "--user", "$USER10$",
                  "$USER11$", "$_HOSTWMICHECK_OPTIONS$"]
    nagios = defs + "/nagios/wmicheck-winrm-"
    commands = dict(re.findall(r"command_name\s+(\S+)\s+command_line\s+(.*)$", open(nagios + "commands.cfg").read(), re.M))
    checks = set()
    for call in re.findall(r"check_command\s+(.*)$", open(nagios + "services.cfg").read(), re.M):
        name, *values = call.split("!")
        line = re.sub(r"\$ARG(\d+)\$", lambda m: (values + [""] * 9)[int(m.group(1)) - 1], commands.get(name, ""))
        words = shlex.split(line)
        if words[:len(connection)] != connection:
            errors.append("%s does not start with the connection %s: %s" % (name, " ".join(connection), line))
        checks.add(tuple(words[len(connection):]))
    if checks != {tuple(shlex.split(c)[1:]) for c in common}:
        errors.append("the Nagios WinRM services run %s, the README's common checks are %s" % (sorted(checks), sorted(common)))
    finish("%d arguments of wmicheck-winrm: the options of the Linux --help, with their descriptions; the password through the environment" % count,
           "%d Nagios WinRM services: the README's common checks, each with the host's name, address and the resource.cfg credentials" % len(checks))

# Not passed by an engine: --help, and --configure, --param, --print-param
# (the plug-in host's); --json (engines read the line); --password (visible
# in process listings: the environment carries it); --last-instance (the
# plug-in's rule, not a monitoring plugin's); --version, --verbose and
# --diagnose (for a person at a prompt).
arguments = check_command(defs + "/icinga2/wmicheck-command.conf", {
    "--help", "--configure", "--param", "--print-param", "--json", "--password", "--last-instance",
    "--version", "--verbose", "--diagnose"}, {"--count", "--age", "--allow-empty"}, {"--auth", "--exclude"})
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

finish("%d CheckCommand arguments: the options of --help, with their descriptions; the password through the environment" % arguments,
       "%d agent commands: the README's common checks, each asked for by a Nagios command" % len(scripts))
