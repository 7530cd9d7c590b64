#!/usr/bin/python3
"""Serve a synthetic live test video at rtsp://127.0.0.1:PORT/x, loopback only (RTSP and RTP/UDP).
Usage: /usr/bin/python3 rtsp_serve.py PORT [--codec h264|mjpeg]   (Debian python + python3-gi)
PORT 0 picks a free port. Prints "ready PORT" once listening. Exits 0 on SIGTERM/SIGINT or
after --lifetime seconds; exits 1 if the port can't be bound."""
import argparse, signal, sys

import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

SRC = ("videotestsrc is-live=true pattern={pattern} ! "
       "video/x-raw,width={w},height={h},framerate={fps}/1 ! videoconvert ! "
       "video/x-raw,format=I420 ! ")
ENC = {
    "h264": ("x264enc tune=zerolatency speed-preset=ultrafast "
             "key-int-max={fps} bitrate=800 ! rtph264pay name=pay0 pt=96 config-interval=1"),
    "mjpeg": "jpegenc quality=80 ! rtpjpegpay name=pay0 pt=26",
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--codec", choices=sorted(ENC), default="h264")
    ap.add_argument("--size", default="320x240")
    ap.add_argument("--fps", type=int, default=25)
    ap.add_argument("--pattern", default="ball")
    ap.add_argument("--lifetime", type=float, default=900.0, help="hard cap, seconds")
    a = ap.parse_args()
    w, h = a.size.split("x")
    Gst.init(None)
    launch = (SRC + ENC[a.codec]).format(pattern=a.pattern, w=w, h=h, fps=a.fps)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(a.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch("( " + launch + " )")
    factory.set_shared(True)  # all clients share one pipeline
    pool = GstRtspServer.RTSPAddressPool()  # RTP/RTCP over UDP: bind 127.0.0.1 too
    pool.add_range("127.0.0.1", "127.0.0.1", 42000, 42999, 0)
    factory.set_address_pool(pool)
    server.get_mount_points().add_factory("/x", factory)
    loop = GLib.MainLoop()
    if server.attach(None) == 0:  # binds + listens synchronously
        print("error: cannot listen on 127.0.0.1:%d" % a.port, file=sys.stderr)
        return 1
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    GLib.timeout_add(int(a.lifetime * 1000), loop.quit)
    print("ready", server.get_bound_port(), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
