"""The configuration as klippy reads it, and the copy klippy checks: read
the way klippy's own reader reads it (the simulated host's copy of that
reader is the reference), the SAVE_CONFIG block kept intact whatever is set
aside or added."""
from hypothesis import given, strategies as st

from klippysim import configfile
from z_compensate import klippy_config

BLOCK_HEADER = klippy_config.AUTOSAVE_HEADER
names = st.sampled_from(["printer", "stepper_z", "bltouch", "scanner", "gcode_macro PARK",
                         "scanner model default", "heater_bed"])
words = st.from_regex(r"[A-Za-z0-9.,^!_]{1,6}", fullmatch=True)
option_names = st.from_regex(r"[a-z][a-z_]{0,6}", fullmatch=True)
comments = st.sampled_from(["", "", "  # a comment", " ; a comment"])


def sections_of(indents, comments):
    # An option line, then lines that may go on with its value
    option_lines = st.tuples(indents, option_names, words, st.lists(
        st.tuples(indents, words), max_size=2))
    return st.lists(st.tuples(indents, names, comments, st.lists(option_lines, max_size=3)),
                    max_size=4)


# A file's lines may be indented anywhere; SAVE_CONFIG writes its block
# with headers and options at the line's start, further lines after a tab
sections = sections_of(st.sampled_from(["", "", " ", "  "]), comments)
saved_sections = sections_of(st.just(""), st.just("")).map(lambda generated: [
    ("", name, "", [("", option, value, [("\t", more) for _, more in further])
                    for _, option, value, further in options])
    for _, name, _, options in generated])


def section_texts(generated):
    lines = []
    for indent, name, comment, options in generated:
        lines.append("%s[%s]%s" % (indent, name, comment))
        for option_indent, option, value, more in options:
            lines.append("%s%s: %s" % (option_indent, option, value))
            lines.extend(more_indent + more_value for more_indent, more_value in more)
    return lines


def config_text(regular, saved):
    text = "\n".join(section_texts(regular)) + "\n"
    if saved:
        text += BLOCK_HEADER + "\n".join(
            ("#*# " + line).rstrip() for line in section_texts(saved)) + "\n"
    return text


def klippy_reads(text):
    """{section: {option: value}} as klippy's reader has it, or None where
    it refuses the text."""
    reader = configfile.ConfigFileReader(None)
    regular, saved = reader._find_autosave_data(text)
    try:
        config = reader._build_config_wrapper(regular, "printer.cfg")
        saved = reader._strip_duplicates(saved, config.fileconfig)
        fileconfig = reader._build_config_wrapper(regular + saved, "printer.cfg").fileconfig
    except configfile.error:
        return None
    return {name: dict(fileconfig.items(name)) for name in fileconfig.sections()}


def ours(text):
    return {name: dict(section.options) for name, section in
            klippy_config.read_sections({"printer.cfg": text}).items()}


@given(sections, saved_sections, st.sets(names), st.sets(st.tuples(names, option_names)),
       st.booleans())
def test_copy_keeps_the_block_and_reads_as_klippy_reads_it(regular, saved, set_aside,
                                                           options, add):
    text = config_text(regular, saved)
    read = klippy_reads(text)
    if read is None:
        return
    assert ours(text) == read
    copy = klippy_config.without_sections(text, set_aside, options)
    addition = "[probe]\npin: stand_in\n" if add else ""
    if addition:
        copy = klippy_config.with_additions(copy, addition)
    # The block is where klippy finds it, whatever was set aside or added
    assert bool(klippy_config.split_autosave(copy)[1]) == bool(
        klippy_config.split_autosave(text)[1])
    expected = {name: {option: value for option, value in values.items()
                       if (name, option) not in options}
                for name, values in read.items() if name not in set_aside}
    if add:
        expected["probe"] = dict(expected.get("probe", {}), pin="stand_in")
    assert klippy_reads(copy) == expected == ours(copy)
    # Every line keeps its number, the additions aside
    assert len(copy.split("\n")) - len(addition.split("\n")) - 1 <= len(text.split("\n"))


def test_includes_where_they_stand_with_glob_patterns():
    files = {
        "printer.cfg": "[printer]\nkinematics: none\n  [include hardware.cfg]\n"
                       "[include macros/*.cfg]\n[probe]\npin: PA1\n",
        "macros/a.cfg": "[gcode_macro A]\ngcode: G28\n[probe]\npin: PA0\nz_offset: 1\n",
        "macros/b.cfg": "[gcode_macro B]\ngcode:\n  G28\n  G1 Z5\n",
        "hardware.cfg": "[fan]\npin: PB0\n",
    }
    read = klippy_config.read_sections(files)
    # An include is one at a line's start only; the file's later value wins
    assert list(read) == ["printer", "gcode_macro A", "probe", "gcode_macro B"]
    assert read["printer"].options["kinematics"] == "none\n[include hardware.cfg]"
    assert dict(read["probe"].options) == {"pin": "PA1", "z_offset": "1"}
    assert read["gcode_macro B"].options["gcode"] == "\nG28\nG1 Z5"
