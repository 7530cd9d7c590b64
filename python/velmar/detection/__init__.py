"""How a motion-based recording decides that a frame shows motion: on a
scaled copy of the region, where the masks let it look, with the light's
changes taken out, by one of three detectors."""
