"""The live view's one page: a card per camera with its live picture, its
state, its counts, its disk, its latest events and a timeline of its stored
recordings, kept up to date from /status.json."""

from velmar.live import timeline

PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>velmar</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 0; background: #16181c; color: #e8e8e8; }
  header { padding: 10px 16px; background: #23262d; font-size: 18px; }
  main { display: flex; flex-wrap: wrap; gap: 16px; padding: 16px; }
  .camera { background: #23262d; border-radius: 8px; padding: 12px; width: 480px; }
  .camera h2 { margin: 0 0 8px; font-size: 18px; display: flex; justify-content: space-between; }
  .camera img.live { width: 100%; background: #000; min-height: 120px; display: block; }
  .state { font-size: 14px; padding: 2px 8px; border-radius: 10px; background: #555; }
  .state.recording { background: #1d7a3a; }
  .state.reconnecting, .state.restarting, .state.starting { background: #9a6b00; }
  .state.outage, .state.disk-full, .state.failed { background: #a32020; }
  .facts { font-size: 13px; color: #b8b8b8; margin: 6px 0; }
  .events { display: flex; gap: 6px; overflow-x: auto; }
  .events figure { margin: 0; font-size: 11px; color: #b8b8b8; }
  .events img { width: 110px; display: block; }
""" + timeline.STYLE + """</style>
</head>
<body>
<header>velmar: <span id="time"></span></header>
<main id="cameras"></main>
<script>""" + timeline.SCRIPT + """</script>
<script>
"use strict";
const cameras = document.getElementById("cameras");
const cards = {};

function bytes(n) {
  const units = ["B", "KB", "MB", "GB", "TB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return n.toFixed(i ? 1 : 0) + " " + units[i];
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function card(camera) {
  const box = element("section", "camera");
  const title = element("h2");
  title.append(element("span", "", camera.name), element("span", "state"));
  const live = element("img", "live");
  live.alt = "live picture of " + camera.name;
  live.src = camera.stream;
  box.append(title, live, element("div", "facts"), element("div", "facts"),
             element("div", "events"));
  cameras.append(box);
  timeline(box, camera.name);
  return box;
}

function show(camera) {
  const box = cards[camera.name] || (cards[camera.name] = card(camera));
  const state = box.querySelector(".state");
  state.textContent = camera.state + (camera.problem ? ": " + camera.problem : "");
  state.className = "state " + camera.state.replace(" ", "-");
  const facts = box.querySelectorAll(".facts");
  facts[0].textContent = camera.frames_read + " frames read, " + camera.frames_kept +
    " kept, " + camera.events + " events, " + camera.outages + " outages, " +
    camera.restarts + " restarts" + (camera.picture_at ? "; picture of " + camera.picture_at : "");
  const disk = camera.disk;
  facts[1].textContent = disk.free === undefined ? "disk: " + disk.problem :
    "disk: " + bytes(disk.used) + " used, " + bytes(disk.free) + " free of " + bytes(disk.total);
  const events = box.querySelector(".events");
  events.replaceChildren(...camera.latest_events.map(event => {
    const figure = element("figure");
    if (event.thumbnail) {
      const picture = element("img");
      picture.src = event.thumbnail;
      picture.alt = "event " + event.event;
      figure.append(picture);
    }
    figure.append(element("figcaption", "", "#" + event.event + " " +
      event.start.slice(11) + ", " + event.seconds + " s"));
    return figure;
  }));
}

async function refresh() {
  try {
    const status = await (await fetch("/status.json", {cache: "no-store"})).json();
    document.getElementById("time").textContent = status.time;
    status.cameras.forEach(show);
  } catch (error) {
    document.getElementById("time").textContent = "not reachable";
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
"""
