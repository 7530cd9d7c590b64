"""Recording a source's own compressed stream: its packets go into the
crash-safe containers unchanged, with nothing decoded for writing."""
