"""The budget of the generated tests: a fixed number of examples, drawn the
same way in every run, without a database of earlier failures."""
from hypothesis import HealthCheck, settings

# Each example makes its own printer from the factory fixtures, which the
# health check cannot tell from state shared between examples. Older
# Hypothesis (Debian bullseye's) has no such check.
_SUPPRESSED = [getattr(HealthCheck, name) for name in ("function_scoped_fixture", "too_slow")
               if hasattr(HealthCheck, name)]


def budget(max_examples):
    return settings(max_examples=max_examples, deadline=None, database=None, derandomize=True,
                    suppress_health_check=_SUPPRESSED)
