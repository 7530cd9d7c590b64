"""How a recording is reported, by the velmar command and by each camera of
`velmar run` alike: as it goes (a progress bar, or a line per event and per
outage), and at its end (its summary, its exit status and the line that
says why, and its state in the live view)."""
