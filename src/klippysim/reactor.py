# Timer reactor on a virtual clock, switching greenlets like klippy's reactor
#
# Timers and pauses work exactly as on the real host: a timer callback runs
# in the dispatch greenlet, and a callback that pauses hands the dispatch
# role to another greenlet until its wake-up time.  The difference is the
# clock: when nothing is due, the clock jumps to the next timer instead of
# sleeping, so an hour of heating takes milliseconds.
import greenlet

_NOW = 0.
_NEVER = 9999999999999999.


class ReactorTimer:
    def __init__(self, callback, waketime):
        self.callback = callback
        self.waketime = waketime
        self.timer_is_running = False


class ReactorCompletion:
    class sentinel:
        pass

    def __init__(self, reactor):
        self.reactor = reactor
        self.result = self.sentinel
        self.waiting = []

    def test(self):
        return self.result is not self.sentinel

    def complete(self, result):
        self.result = result
        for wait in self.waiting:
            self.reactor.update_timer(wait.timer, self.reactor.NOW)

    def wait(self, waketime=_NEVER, waketime_result=None):
        if self.result is self.sentinel:
            wait = greenlet.getcurrent()
            self.waiting.append(wait)
            self.reactor.pause(waketime)
            self.waiting.remove(wait)
            if self.result is self.sentinel:
                return waketime_result
        return self.result


class ReactorCallback:
    def __init__(self, reactor, callback, waketime):
        self.reactor = reactor
        self.timer = reactor.register_timer(self.invoke, waketime)
        self.callback = callback
        self.completion = ReactorCompletion(reactor)

    def invoke(self, eventtime):
        self.reactor.unregister_timer(self.timer)
        res = self.callback(eventtime)
        self.completion.complete(res)
        return self.reactor.NEVER


class ReactorGreenlet(greenlet.greenlet):
    def __init__(self, run):
        greenlet.greenlet.__init__(self, run=run)
        self.timer = None


class ReactorMutex:
    def __init__(self, reactor, is_locked):
        self.reactor = reactor
        self.is_locked = is_locked
        self.next_pending = False
        self.queue = []
        self.lock = self.__enter__
        self.unlock = self.__exit__

    def test(self):
        return self.is_locked

    def __enter__(self):
        if not self.is_locked:
            self.is_locked = True
            return
        g = greenlet.getcurrent()
        self.queue.append(g)
        while True:
            self.reactor.pause(self.reactor.NEVER)
            if self.next_pending and self.queue[0] is g:
                self.next_pending = False
                self.queue.pop(0)
                return

    def __exit__(self, type=None, value=None, tb=None):
        if not self.queue:
            self.is_locked = False
            return
        self.next_pending = True
        self.reactor.update_timer(self.queue[0].timer, self.reactor.NOW)


class ReactorError(Exception):
    pass


class ReactorPreventPause:
    def __init__(self, reactor):
        self.reactor = reactor

    def __enter__(self):
        self.reactor._prevent_pause_count += 1

    def __exit__(self, type=None, value=None, tb=None):
        self.reactor._prevent_pause_count -= 1


class VirtualReactor:
    NOW = _NOW
    NEVER = _NEVER

    def __init__(self, start_time=0.):
        self._clock = start_time
        self._process = False
        self._stop_time = self.NEVER
        # Timers; the list is replaced, never changed in place, so that a
        # dispatch loop may keep iterating over the copy it started with
        self._timers = []
        self._next_timer = self.NEVER
        # Greenlets
        self._g_dispatch = None
        self._greenlets = []
        self._prevent_pause_count = 0

    def monotonic(self):
        return self._clock

    def is_running(self):
        return self._g_dispatch is not None

    # Timers
    def update_timer(self, timer_handler, waketime):
        if timer_handler.timer_is_running:
            return
        timer_handler.waketime = waketime
        self._next_timer = min(self._next_timer, waketime)

    def register_timer(self, callback, waketime=NEVER):
        timer_handler = ReactorTimer(callback, waketime)
        self._timers = self._timers + [timer_handler]
        self._next_timer = min(self._next_timer, waketime)
        return timer_handler

    def unregister_timer(self, timer_handler):
        timer_handler.waketime = self.NEVER
        timers = list(self._timers)
        timers.remove(timer_handler)
        self._timers = timers

    def _check_timers(self, eventtime):
        if eventtime < self._next_timer:
            return
        self._next_timer = self.NEVER
        g_dispatch = self._g_dispatch
        for t in self._timers:
            waketime = t.waketime
            if eventtime >= waketime:
                t.waketime = self.NEVER
                t.timer_is_running = True
                t.waketime = waketime = t.callback(eventtime)
                t.timer_is_running = False
                if g_dispatch is not self._g_dispatch:
                    # The callback paused and was resumed later: this
                    # greenlet is no longer the dispatcher
                    self._next_timer = min(self._next_timer, waketime)
                    # A parked greenlet's own frames must not refer to it,
                    # or a dropped reactor could never free it
                    g_dispatch = None
                    self._end_greenlet()
                    return
            self._next_timer = min(self._next_timer, waketime)

    # Callbacks and completions
    def completion(self):
        return ReactorCompletion(self)

    def register_callback(self, callback, waketime=NOW):
        rcb = ReactorCallback(self, callback, waketime)
        return rcb.completion

    def mutex(self, is_locked=False):
        return ReactorMutex(self, is_locked)

    # Greenlets
    def pause(self, waketime):
        if self._prevent_pause_count:
            raise ReactorError("Internal error - reactor pause disabled")
        if self._g_dispatch is None:
            # Reactor not running (start-up, or a torn-down command):
            # nothing else can run, so just move the clock
            self._clock = max(self._clock, waketime)
            return self._clock
        g = greenlet.getcurrent()
        if g is not self._g_dispatch:
            # This greenlet paused before and owns a timer: its callback
            # returns the new wake-up time to the dispatcher
            return self._g_dispatch.switch(waketime)
        # Pausing the dispatcher: a timer resumes this greenlet later and
        # another greenlet takes over dispatching meanwhile
        g.timer = self.register_timer(g.switch, waketime)
        self._next_timer = self.NOW
        if self._greenlets:
            g_next = self._greenlets.pop()
            eventtime = g_next.switch()
        else:
            eventtime = g.parent.switch()
        return eventtime

    def _end_greenlet(self):
        # Keep this greenlet for reuse as a dispatcher
        g_old = greenlet.getcurrent()
        self._greenlets.append(g_old)
        self.unregister_timer(g_old.timer)
        g_old.timer = None
        g_old = None
        self._g_dispatch.switch(self.NEVER)
        # Reactivated by pause() of the dispatcher of the moment
        self._g_dispatch = greenlet.getcurrent()

    def assert_no_pause(self):
        return ReactorPreventPause(self)

    # Main loop
    def _dispatch_loop(self):
        while self._process:
            self._check_timers(self._clock)
            if not self._process or self._next_timer <= self._clock:
                continue
            if self._next_timer >= self._stop_time:
                if self._stop_time < self.NEVER:
                    self._clock = self._stop_time
                self._process = False
                continue
            self._clock = self._next_timer

    def run(self, until=NEVER):
        """Dispatch timers until end() is called, or until the next event
        lies at or after `until` (the clock then stands at `until`), or
        until nothing is left to do."""
        self._stop_time = until
        self._process = True
        try:
            while self._process:
                g_next = ReactorGreenlet(run=self._dispatch_loop)
                self._g_dispatch = g_next
                g_next.switch()
        finally:
            self._g_dispatch = None

    def end(self):
        self._process = False

    def finalize(self):
        """What klippy does before it drops a printer: the parked dispatch
        greenlets and the timers go, so that nothing keeps the printer."""
        self._g_dispatch = None
        self._greenlets = []
        for timer in list(self._timers):
            self.unregister_timer(timer)
