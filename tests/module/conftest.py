"""Fixtures the module's own tests share."""
import pytest


@pytest.fixture
def printer(make_printer):
    return make_printer("")


@pytest.fixture
def module(printer, module_of):
    module = module_of(printer)
    # The command handlers fetch the toolhead before they move.
    module.toolhead = printer.lookup_object("toolhead")
    return module
