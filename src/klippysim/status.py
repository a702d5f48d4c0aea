# Status polling, as a front end subscribed to the host's objects causes it
#
# Every poll interval get_status() of every object is called from a timer,
# also while a command is suspended, with pauses forbidden as newer klippy
# forbids them there.  Changes of the objects named in
# status_trace_objects are recorded in the trace.


class StatusPoller:
    def __init__(self, printer, interval, traced_objects):
        self.printer = printer
        self.reactor = printer.get_reactor()
        self.interval = interval
        self.traced_objects = traced_objects
        self.last_status = {}
        self.reactor.register_timer(self._poll, self.reactor.NOW)

    def _poll(self, eventtime):
        with self.reactor.assert_no_pause():
            for name, obj in self.printer.lookup_objects():
                get_status = getattr(obj, 'get_status', None)
                if get_status is None:
                    continue
                status = get_status(eventtime)
                if (name in self.traced_objects
                        and status != self.last_status.get(name)):
                    self.printer.trace.add('status', object=name,
                                           status=status)
                self.last_status[name] = status
        return eventtime + self.interval
