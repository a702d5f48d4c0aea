"""What the module and the tools that run it must both know is spelled once,
in the module; the tools' own copies are held to it here."""
import sys

from z_compensate import dry_run, refusal, run_input


def test_the_tools_know_the_commands_parameters_and_seed_as_the_module_does(module):
    wrapper = sys.modules[type(module).__module__]
    commands = wrapper.COMMAND_PARAMETERS
    keys = {name: key for parameters in commands.values() for name, key in parameters.items()}

    assert {name: tuple(parameters) for name, parameters in commands.items()} \
        == dict(run_input.COMMANDS)
    assert {(key, name) for key, name, _ in refusal.TEMPERATURE_SOURCES} \
        == {(keys[name], name) for name in run_input.TEMPERATURE_PARAMETERS}
    # Each parameter stands in for a key the object holds under its name
    assert all(hasattr(module, key) for key in keys.values())
    assert dry_run.MODULE_SEED_ARG == wrapper.SEED_START_ARGUMENT
