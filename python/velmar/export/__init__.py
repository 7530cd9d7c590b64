"""Stored recordings found and played again: the videos and events an
output's pattern names (`catalogue`), a clip of any time range cut from them
by stream copy (`clip`), and a time-lapse of their keyframes (`timelapse`)."""
