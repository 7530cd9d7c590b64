"""The live view: what each camera shows and does, fed by its recording
(`feed`), gathered on one board (`board`) and served over HTTP (`server`)."""
