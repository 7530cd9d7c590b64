"""Each camera's motion, state, events and event pictures told to an MQTT
broker, with Home Assistant's discovery of them."""
