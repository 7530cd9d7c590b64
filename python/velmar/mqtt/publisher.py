"""The one connection to the broker: paho-mqtt's client, on its own network
thread, which connects, and connects again after 1, 2, 4, ... at most 30 s.

Those who publish only hand a message over; they never wait on the broker.
While it is away, each state waits as the latest of its topic, and other
messages wait in a bounded queue whose oldest go first once it is full.
On every connection `online` goes first, then every state, so none is left
stale by one lost with the connection, then what waited. The broker says
`offline` for a velmar that is gone without a word (its last will); one
that stops says it itself. A line says when the broker cannot be reached
and another when it is reached again."""

from __future__ import annotations

import signal
import threading
from collections import deque
from collections.abc import Callable

import paho.mqtt.client as mqtt

from velmar.mqtt.broker import Broker
from velmar.mqtt.topics import OFFLINE, ONLINE, Message, available
from velmar.recording.signals import STOP_SIGNALS

QUEUED = 256  # messages other than states that wait for the broker
KEEPALIVE = 15  # seconds: a broker that is silent twice as long is gone
RETRY_FIRST, RETRY_MOST = 1, 30  # seconds between attempts to connect
CLOSE_TIMEOUT = 3.0  # seconds `offline` may take to reach the broker as velmar stops
# States are sent again on every connection; an event, once handed to the
# client, is sent again by it until the broker has it.
STATE_QOS, EVENT_QOS = 0, 1


class Publisher:
    """Publishes under `prefix` to `broker`; `say` is given the lines."""

    def __init__(self, broker: Broker, prefix: str, say: Callable[[str], None]):
        self.broker, self.say = broker, say
        self.available = available(prefix)
        self.states: dict[str, Message] = {}  # the latest of each topic
        self.waiting: deque[Message] = deque(maxlen=QUEUED)
        # Held while messages go to the client, so they go in order. The
        # client's thread takes it only in on_connect, where it holds no
        # lock that publishing takes.
        self.sending = threading.Lock()
        self.connected = False
        self.reached = False  # once: then a connection that goes is lost
        self.away = False  # said to be unreachable, and not yet back
        self.closing = False
        self.client = self._client()

    def _client(self) -> mqtt.Client:
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
        client.will_set(self.available, OFFLINE, qos=EVENT_QOS, retain=True)
        if self.broker.user is not None:
            client.username_pw_set(self.broker.user, self.broker.password)
        client.reconnect_delay_set(RETRY_FIRST, RETRY_MOST)
        client.on_connect = self._connected
        client.on_connect_fail = self._unreachable
        client.on_disconnect = self._lost
        return client

    def start(self) -> None:
        """Connects on the client's thread: this one never waits, not even
        for the broker's name to be looked up."""
        self.client.connect_async(self.broker.host, self.broker.port, KEEPALIVE)
        # The thread takes this one's signal mask: stop signals are the main
        # thread's, and never cut the client's calls short.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            self.client.loop_start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)

    def put(self, message: Message) -> None:
        with self.sending:
            if message.retain:
                self.states[message.topic] = message
            if self.connected:
                self._publish(message)
            elif not message.retain:
                self.waiting.append(message)

    def close(self) -> None:
        """Says `offline` as velmar stops, and ends the connection, within
        a few seconds even while the broker is away."""
        with self.sending:
            self.closing = True
            sent = self._publish(Message(self.available, OFFLINE, retain=True)) \
                if self.connected else None
        if sent is not None:
            try:
                sent.wait_for_publish(CLOSE_TIMEOUT)
            except (RuntimeError, ValueError):  # the connection went first
                pass
        self.client.disconnect()
        self.client.loop_stop()

    def _publish(self, message: Message) -> mqtt.MQTTMessageInfo:
        qos = STATE_QOS if message.retain and message.topic != self.available else EVENT_QOS
        return self.client.publish(message.topic, message.payload, qos=qos,
                                   retain=message.retain)

    # The client's thread.
    def _connected(self, _client, _userdata, _flags, reason, _properties) -> None:
        if reason.is_failure:
            self._say_away(f"refused the connection ({reason})")
            return
        with self.sending:
            if self.closing:
                return
            self._publish(Message(self.available, ONLINE, retain=True))
            for message in [*self.states.values(), *self.waiting]:
                self._publish(message)
            self.waiting.clear()
            self.connected = self.reached = True
        if self.away:
            self.away = False
            self.say(f"velmar: MQTT broker {self.broker.where} reached; "
                     f"messages are sent")

    def _unreachable(self, _client, _userdata) -> None:
        self._say_away("unreachable")

    def _lost(self, _client, _userdata, _flags, _reason, _properties) -> None:
        self.connected = False  # a plain flag: this callback may come with the client's locks held
        if not self.closing:
            self._say_away("lost" if self.reached else "unreachable")

    def _say_away(self, how: str) -> None:
        if not self.away and not self.closing:
            self.away = True
            self.say(f"velmar: MQTT broker {self.broker.where} {how}; messages wait "
                     f"while it is tried again")
