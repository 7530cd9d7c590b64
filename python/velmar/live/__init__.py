"""The live view: what each camera shows and does, fed by its recording
(`feed`), gathered on one board (`board`) and served over HTTP (`server`),
with Prometheus's metrics (`metrics`), the stored recordings (`recordings`)
and the page's timeline of them (`timeline`)."""
