"""A printer.cfg as klippy reads it, and the copy of it that klippy checks.

klippy reads a file's lines with Python's configparser after cutting each
line at its first "#", follows [include] sections (glob patterns too) where
they stand, and takes the block that SAVE_CONFIG wrote at the end of the
main file only while that block is intact and last: its values count where
the regular file does not set them. The copy keeps that block as it is:
sections set aside become comments (inside the block, after its prefix),
and what the copy adds goes before the block.
"""
import collections
import configparser
import fnmatch
import posixpath
import re

AUTOSAVE_HEADER = ("\n#*# <---------------------- SAVE_CONFIG ---------------------->\n"
                   "#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.\n"
                   "#*#\n")
AUTOSAVE_PREFIX = "#*# "
SECTION_HEADER = configparser.RawConfigParser.SECTCRE
OPTION_LINE = re.compile(configparser.RawConfigParser._OPT_TMPL.format(delim="=|:"),
                         re.VERBOSE)
INCLUDE = "include "
# A ";" starts a comment at a line's start or after white space
INLINE_COMMENT = re.compile(r"(^|(?<=\s));")


class Section:
    def __init__(self, name):
        self.name = name
        self.options = collections.OrderedDict()
        # The options whose values come from the SAVE_CONFIG block
        self.autosaved = set()

    @property
    def module(self):
        return self.name.split()[0] if self.name.split() else self.name


# What a line is to klippy's parser
HEADER, OPTION, MORE = "header", "option", "more"


class Line(collections.namedtuple("Line", ["kind", "section", "option", "value"])):
    """One line as klippy's parser takes it: a section's HEADER, an OPTION's
    first line, a further line of its value (MORE), or nothing (kind None:
    a comment, a blank line)."""


def split_autosave(text):
    """(regular text, block): the block SAVE_CONFIG wrote, from its header
    on, as klippy finds it; empty when there is none or klippy would not
    read it (not intact, or not last)."""
    text = text.replace("\r\n", "\n")
    position = text.find(AUTOSAVE_HEADER)
    if position < 0:
        return text, ""
    regular, block = text[:position], text[position:]
    saved = block[len(AUTOSAVE_HEADER):].strip()
    if "\n" + AUTOSAVE_PREFIX in regular or AUTOSAVE_HEADER in saved:
        return text, ""
    if saved and any(not line.startswith("#*#") or (len(line) >= 4 and not line.startswith(
            AUTOSAVE_PREFIX)) for line in saved.split("\n")):
        return text, ""
    return regular, block


def block_lines(block):
    """The block's lines without their prefix, as klippy reads them."""
    return [line[len(AUTOSAVE_PREFIX):] for line in block[len(AUTOSAVE_HEADER):].split("\n")]


def scan(lines):
    """A Line for each of `lines`, following configparser as klippy runs it
    (one parser for the lines between two [include] sections)."""
    section = option = None
    indent_level = 0
    for raw in lines:
        line = raw.split("#", 1)[0]
        comment = INLINE_COMMENT.search(line)
        if comment:
            line = line[:comment.start()]
        value = line.strip()
        if not value:
            yield Line(None, section, None, None)
            continue
        indent = len(line) - len(line.lstrip())
        if section is not None and option and indent > indent_level:
            yield Line(MORE, section, option, value)
            continue
        indent_level = indent
        header = SECTION_HEADER.match(value)
        option = None
        if header:
            section = header.group("header")
            yield Line(HEADER, section, None, None)
        elif section is not None and OPTION_LINE.match(value):
            match = OPTION_LINE.match(value)
            option = match.group("option").rstrip().lower()
            yield Line(OPTION, section, option, match.group("value").strip())
        else:
            yield Line(None, section, None, None)


def included(relative, pattern, files):
    """The files (keys of `files`) that [include `pattern`] in the file
    `relative` reads, in klippy's order."""
    wanted = posixpath.normpath(posixpath.join(posixpath.dirname(relative), pattern.strip()))
    parts = wanted.split("/")
    return sorted(name for name in files if len(name.split("/")) == len(parts) and all(
        fnmatch.fnmatchcase(have, want) for have, want in zip(name.split("/"), parts)))


def read_sections(files, main=None):
    """{name: Section} of the configuration whose files ({relative path:
    text}) are `files`, `main` (by default the first) the one klippy is
    given: the includes where they stand, a section named again adding
    options, and the SAVE_CONFIG block's values where the file sets none."""
    main = main if main is not None else next(iter(files))
    sections = collections.OrderedDict()
    regular, block = split_autosave(files[main])
    read_file(sections, files, main, regular, set())
    if block:
        read_lines(sections, block_lines(block), autosaved=True)
    return sections


def read_file(sections, files, relative, text, visited):
    if relative in visited:
        # klippy refuses a recursive include itself
        return
    visited = visited | {relative}
    lines = []
    for raw in text.split("\n"):
        pattern = include_pattern(raw)
        if pattern is None:
            lines.append(raw)
            continue
        read_lines(sections, lines)
        lines = []
        for name in included(relative, pattern, files):
            read_file(sections, files, name, files[name], visited)
    read_lines(sections, lines)


def include_pattern(raw):
    """The pattern of an [include] line, which klippy finds at the line's
    start only; or None."""
    header = SECTION_HEADER.match(raw.split("#", 1)[0])
    name = header.group("header") if header else ""
    return name[len(INCLUDE):] if name.startswith(INCLUDE) else None


def read_lines(sections, lines, autosaved=False):
    """Adds what klippy parses as one piece of text: a value goes on over
    the lines that follow it indented. The block's values do not replace
    the regular file's."""
    skipping = False
    for line in scan(lines):
        if line.kind == HEADER:
            sections.setdefault(line.section, Section(line.section))
        elif line.kind == OPTION:
            section = sections[line.section]
            skipping = (autosaved and line.option in section.options
                        and line.option not in section.autosaved)
            if skipping:
                continue
            section.options[line.option] = line.value
            if autosaved:
                section.autosaved.add(line.option)
            else:
                section.autosaved.discard(line.option)
        elif line.kind == MORE and not skipping:
            sections[line.section].options[line.option] += "\n" + line.value


# The copy klippy is given
def without_sections(text, names, options=()):
    """`text` without the sections `names` and the options `options`
    ((section, option) pairs): their lines become comments, in the
    SAVE_CONFIG block after its prefix, so that the block stays one that
    klippy reads and every line keeps its number."""
    regular, block = split_autosave(text)
    regular = "\n".join(commented(regular.split("\n"), names, options))
    if not block:
        return regular
    saved = block[len(AUTOSAVE_HEADER):].split("\n")
    kept = commented(block_lines(block), names, options)
    return regular + AUTOSAVE_HEADER + "\n".join(
        line if bare == new else AUTOSAVE_PREFIX + new
        for line, bare, new in zip(saved, block_lines(block), kept))


def commented(lines, names, options=()):
    return ["# " + raw if raw.strip() and (line.section in names or (
        line.option is not None and (line.section, line.option) in options)) else raw
            for raw, line in zip(lines, scan(lines))]


def with_additions(text, addition):
    """`text` with the sections `addition` (text) at the end of its regular
    part, before the SAVE_CONFIG block."""
    regular, block = split_autosave(text)
    return regular.rstrip("\n") + "\n\n" + addition + block
