#!/usr/bin/env python3
"""Keeps README.md and docs/*.md true to the programs they describe.

  docs_check.py --bin BUILD/bin --root SOURCE_DIR

- Every relative link names a file of the tree, and an anchor a heading of
  the page it points into.
- Every kivhost, plcsim and kivgate command of a shell (or Windows console)
  block names a command and options that the program's --help lists: for
  kivhost, its own options and those of the command's help.
- A block marked <!-- docs-check: run --> before it is run, with no shell
  and no serial line, and its standard output compared with the text block
  that follows it. The marker's words: "exit=N" (the status, 0 unless
  given), "stderr" (standard error is shown, not standard output),
  "excerpt" (the shown lines come in the output in that order, others
  between them), "head" (the output starts with the shown lines), "times"
  (a time stamp, 2026-12-08T01:38:14.372Z, matches any other).

kivhost and plcsim must be built; kivgate, built only with its libraries,
has its commands passed over where it is not, which the last line says. Prints each fault as FILE:LINE: why and
exits 1 if there was one.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys

PROGRAMS = ("kivhost", "plcsim", "kivgate")
OPTIONAL = ("kivgate",)
SHELL_BLOCKS = ("sh", "bash", "console", "bat")
MARKER = re.compile(r"^<!--\s*docs-check:\s*run\b(.*?)-->\s*$")
FENCE = re.compile(r"^```(\S*)\s*$")
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
OPTION_LINE = re.compile(r"^\s{1,8}(-{1,2}[A-Za-z0-9].*)$")
OPTION_NAME = re.compile(r"(?<![\w-])(--?[A-Za-z0-9][A-Za-z0-9-]*)")
OPERATORS = {"&", "&&", "|", "||", ";", ";;", "(", ")"}
REDIRECTS = {">", ">>", "<", ">&", "<&", "&>"}
RUN_SECONDS = 10
TIME_STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")


class Block:
    def __init__(self, page, line, lang, lines, marker):
        self.page, self.line, self.lang, self.lines, self.marker = page, line, lang, lines, marker


def pages(root):
    found = [os.path.join(root, "README.md")]
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        found += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    return found


def read_page(path):
    """The page's prose lines (code blocks blanked) and its fenced blocks."""
    with open(path, encoding="utf-8") as page:
        lines = page.read().split("\n")
    prose, blocks = [], []
    marker, i = None, 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            m = MARKER.match(lines[i])
            if m:
                marker = (i + 1, m.group(1).split())
            elif lines[i].strip():
                marker = None
            prose.append(lines[i])
            i += 1
            continue
        start, body = i + 1, []
        i += 1
        while i < len(lines) and not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        blocks.append(Block(path, start, fence.group(1), body, marker))
        prose += [""] * (len(body) + 2)
        marker = None
        i += 1
    return prose, blocks


def slug(heading):
    text = re.sub(r"[^\w\- ]", "", heading.lower())
    return text.replace(" ", "-")


def anchors(path, cache={}):
    if path not in cache:
        prose, _ = read_page(path)
        seen, found = {}, set()
        for line in prose:
            m = HEADING.match(line)
            if not m:
                continue
            base = slug(m.group(2))
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else f"{base}-{n}")
        cache[path] = found
    return cache[path]


def check_links(path, root, faults):
    prose, _ = read_page(path)
    # Links are never inside code; their text may run over lines.
    text = "\n".join(re.sub(r"`[^`]*`", "", line) for line in prose)
    for link in LINK.finditer(text):
        target = link.group(1)
        if re.match(r"^[a-z][a-z0-9+.-]*:", target):
            continue  # http:, mailto: and the like: not the tree's
        file, _, anchor = target.partition("#")
        where = f"{os.path.relpath(path, root)}:{text.count(chr(10), 0, link.start(1)) + 1}"
        resolved = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
        if not os.path.exists(resolved):
            faults.append(f"{where}: the link {target} names no file of the tree")
        elif anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
            faults.append(f"{where}: the link {target}: no heading of {os.path.relpath(resolved, root)} is #{anchor}")


class Help:
    """What a program's --help lists: options (and whether each takes a
    value) and, for kivhost, its commands with their own options."""

    def __init__(self, binary):
        self.binary = binary
        self.options, self.commands = self.parse(self.run("--help"), commands=True)
        self.command_options = {}

    def run(self, *args):
        done = subprocess.run([self.binary, *args], capture_output=True, text=True, timeout=RUN_SECONDS)
        if done.returncode != 0:
            raise RuntimeError(f"{os.path.basename(self.binary)} {' '.join(args)} exited {done.returncode}")
        return done.stdout

    @staticmethod
    def parse(text, commands=False):
        options, names, in_commands = {}, [], False
        for line in text.split("\n"):
            if re.match(r"^\S.*:\s*$", line):
                in_commands = commands and "ommand" in line
                continue
            m = OPTION_LINE.match(line)
            if m:
                option_text = re.split(r"\s{2,}", m.group(1).strip())[0]
                found = OPTION_NAME.findall(option_text)
                rest = OPTION_NAME.sub("", option_text).replace(",", "").strip()
                takes_value = bool(rest) and not rest.startswith("[")
                for name in found:
                    options[name] = takes_value
            elif in_commands:
                c = re.match(r"^\s{1,8}([a-z][a-z0-9-]*)(\s{2,}|$)", line)
                if c:
                    names.append(c.group(1))
        return options, names

    def of_command(self, command):
        if command not in self.command_options:
            self.command_options[command] = self.parse(self.run(command, "--help"))[0]
        return self.command_options[command]


def commands_of(block):
    """Each program line of a shell block: (line number, words)."""
    logical, start, joined = [], None, ""
    for offset, raw in enumerate(block.lines):
        if start is None:
            start = block.line + 1 + offset
        if block.lang == "bat":
            raw = raw.replace("\\", "/")
        if raw.endswith("\\"):
            joined += raw[:-1] + " "
            continue
        logical.append((start, joined + raw))
        start, joined = None, ""
    found = []
    for number, text in logical:
        lexer = shlex.shlex(text, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        lexer.commenters = "#"
        try:
            words = list(lexer)
        except ValueError:
            continue  # not a line of ours (an unclosed quote in an example)
        segment, skip_next = [], False
        for word in words + [";"]:
            if skip_next:
                skip_next = False
            elif word in REDIRECTS:
                skip_next = True
            elif word in OPERATORS:
                while segment and re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", segment[0]):
                    segment.pop(0)
                if segment and segment[0] in ("wine", "sudo", "exec"):
                    segment.pop(0)
                if segment:
                    program = re.sub(r"\.exe$", "", segment[0].rsplit("/", 1)[-1])
                    if program in PROGRAMS:
                        found.append((number, program, segment[1:]))
                segment = []
            else:
                segment.append(word)
    return found


def check_command(helps, program, args, where, faults):
    help_ = helps[program]
    command, known = None, dict(help_.options)
    i = 0
    while i < len(args):
        word = args[i]
        if word == "--":
            break
        if word.startswith("-") and word != "-":
            name = word.split("=", 1)[0]
            if name not in known:
                shown = f"kivhost {command} --help" if command else f"{program} --help"
                faults.append(f"{where}: {program} {name} is no option {shown} lists")
                return
            if known[name] and "=" not in word:
                i += 1
        elif help_.commands and command is None:
            if word not in help_.commands:
                faults.append(f"{where}: {program} {word} is no command {program} --help lists")
                return
            command = word
            known.update(help_.of_command(command))
        i += 1
    if help_.commands and command is None and not any(a in ("--help", "-h", "--version") for a in args):
        faults.append(f"{where}: {program} with no command")


def expected_output(blocks, index):
    """The text block right after a run block, if the page shows one."""
    if index + 1 < len(blocks):
        following = blocks[index + 1]
        if following.lang in ("", "text") and following.line - (blocks[index].line + len(blocks[index].lines)) <= 3:
            return following
    return None


def run_block(binaries, root, blocks, index, faults):
    block = blocks[index]
    line, words = block.marker
    where = f"{os.path.relpath(block.page, root)}:{line}"
    commands = commands_of(block)
    if len(commands) != 1 or len([l for l in block.lines if l.strip()]) != 1:
        faults.append(f"{where}: a block to run holds one program line, not {len(block.lines)} lines")
        return
    _, program, args = commands[0]
    if program not in binaries:
        return
    status = 0
    for word in words:
        if word.startswith("exit="):
            status = int(word[5:])
    env = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
    env.pop("COLUMNS", None)
    try:
        done = subprocess.run([binaries[program], *args], cwd=root, env=env, capture_output=True, text=True,
                              timeout=RUN_SECONDS, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        faults.append(f"{where}: {program} {' '.join(args)} still ran after {RUN_SECONDS} s")
        return
    if done.returncode != status:
        faults.append(f"{where}: {program} {' '.join(args)} exited {done.returncode}, not {status}: {done.stderr.strip()}")
        return
    shown = expected_output(blocks, index)
    if shown is None:
        return
    stamp = (lambda l: TIME_STAMP.sub("<time>", l)) if "times" in words else (lambda l: l)
    want = [stamp(l.rstrip()) for l in shown.lines]
    while want and not want[-1]:
        want.pop()
    printed = done.stderr if "stderr" in words else done.stdout
    got = [stamp(l.rstrip()) for l in printed.rstrip("\n").split("\n")]
    if "excerpt" in words:
        rest = iter(got)
        missing = [l for l in want if not any(l == g for g in rest)]
        if missing:
            faults.append(f"{where}: {program} {' '.join(args)} does not print, in this order: {missing[0]!r}")
        return
    if "head" in words:
        got = got[: len(want)]
    if got != want:
        differ = next((n for n, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
        faults.append(f"{where}: {program} {' '.join(args)} prints, at its line {differ + 1}, "
                      f"{got[differ] if differ < len(got) else '(nothing)'!r}, the page shows "
                      f"{want[differ] if differ < len(want) else '(nothing)'!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="the folder of the built programs")
    parser.add_argument("--root", required=True, help="the source tree")
    options = parser.parse_args()
    root, faults = os.path.abspath(options.root), []
    binaries = {p: os.path.join(os.path.abspath(options.bin), p) for p in PROGRAMS
                if os.access(os.path.join(options.bin, p), os.X_OK)}
    for program in PROGRAMS:
        if program not in binaries and program not in OPTIONAL:
            faults.append(f"{os.path.join(options.bin, program)}: not built")
    helps, passed_over = {}, 0
    for program, binary in binaries.items():
        try:
            helps[program] = Help(binary)
        except (RuntimeError, subprocess.TimeoutExpired, OSError) as error:
            faults.append(f"{binary}: its help cannot be read: {error}")
    checked = ran = 0
    for path in pages(root):
        check_links(path, root, faults)
        _, blocks = read_page(path)
        for index, block in enumerate(blocks):
            if block.lang in SHELL_BLOCKS:
                for number, program, args in commands_of(block):
                    if program in helps:
                        check_command(helps, program, args, f"{os.path.relpath(path, root)}:{number}", faults)
                        checked += 1
                    else:
                        passed_over += 1
            if block.marker:
                if block.lang not in SHELL_BLOCKS:
                    faults.append(f"{os.path.relpath(path, root)}:{block.marker[0]}: a run marker before a {block.lang or 'plain'} block")
                else:
                    run_block(binaries, root, blocks, index, faults)
                    ran += 1
    for fault in faults:
        print(fault)
    if faults:
        print(f"docs-check: {len(faults)} fault(s)", file=sys.stderr)
        return 1
    unbuilt = ", ".join(p for p in PROGRAMS if p not in binaries)
    print(f"docs-check: {len(pages(root))} pages, links resolve, {checked} commands as their help has them, {ran} run as shown"
          + (f"; {passed_over} commands of {unbuilt}, not built, passed over" if passed_over else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
