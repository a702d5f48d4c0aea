# Record of what happened on the simulated printer, in virtual time
#
# Each event is (time, kind, data): `time` is the reactor's virtual clock
# when the event was recorded, `kind` a short word and `data` a dict.  The
# kinds and their data are listed in README.md.
import collections

TraceEvent = collections.namedtuple('TraceEvent', ['time', 'kind', 'data'])


class Trace(list):
    def __init__(self, reactor):
        list.__init__(self)
        self.reactor = reactor
        # Callables handed each event as it is recorded, to follow a run live
        self.listeners = []

    def add(self, kind, **data):
        event = TraceEvent(self.reactor.monotonic(), kind, data)
        self.append(event)
        for listener in self.listeners:
            listener(event)

    def of_kind(self, kind):
        return [event for event in self if event.kind == kind]
