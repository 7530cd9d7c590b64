"""The page's timeline of a camera: a day, or an hour, of its stored
recordings and events as bars, from its recordings.json; a click plays that
moment in a video element, the stored file as it is (its range requests let
the browser seek). The moment is found by the frame log's times: the last
frame at or before it, whose place in the video is its number at the
video's rate, or, in a video of no steady rate, its time from the video's
first frame; both counted from where the video starts. Plain CSS and
JavaScript, for page.py's page."""

STYLE = """
  .timeline { margin-top: 8px; }
  .timeline .day { display: flex; gap: 6px; align-items: center; font-size: 13px; }
  .timeline .day span { flex: 1; text-align: center; }
  .timeline button { background: #3a3f48; color: #e8e8e8; border: 0; border-radius: 4px;
                     padding: 2px 10px; cursor: pointer; }
  .timeline .bar { position: relative; height: 30px; margin-top: 4px; background: #30343c;
                   border-radius: 3px; cursor: pointer; overflow: hidden; }
  .timeline .bar div { position: absolute; min-width: 2px; }
  .timeline .recording { top: 0; height: 18px; background: #2f6fb0; }
  .timeline .event { top: 20px; height: 10px; background: #e0a020; min-width: 3px; }
  .timeline .cursor { top: 0; bottom: 0; width: 2px; background: #fff; display: none; }
  .timeline .hours { display: flex; justify-content: space-between; font-size: 11px;
                     color: #8a8a8a; }
  .timeline video { width: 100%; margin-top: 6px; background: #000; }
  .timeline a { color: #8cc4ff; }
"""

SCRIPT = """
"use strict";
const timelines = {};

const HOUR = 3600000;

function startOf(time, hours) {
  // The day, or the hour, that holds the time, in local time.
  const start = new Date(time);
  start.setMinutes(0, 0, 0);
  if (hours === 24) start.setHours(0);
  return start;
}

function endOf(view) {
  const end = new Date(view.from);
  if (view.hours === 24) end.setDate(end.getDate() + 1); else end.setTime(end.getTime() + HOUR);
  return end;
}

function clock(time) {
  return new Date(time).toLocaleTimeString([], {hour12: false});
}

function timeline(box, name) {
  const view = {name: name, hours: 24, from: startOf(Date.now(), 24), recordings: [],
                events: [], playing: null, seek: null, start: 0,
                part: element("div", "timeline"), label: element("span"),
                bar: element("div", "bar"), cursor: element("div", "cursor"),
                ticks: element("div", "hours"), video: element("video"),
                caption: element("div", "facts")};
  const back = element("button", "", "\u25c0"), on = element("button", "", "\u25b6");
  const zoom = element("button", "", "hour");
  back.title = "before";
  on.title = "after";
  zoom.title = "an hour or the day";
  const head = element("div", "day");
  head.append(back, view.label, zoom, on);
  view.video.controls = view.video.muted = view.video.playsInline = true;
  view.video.hidden = true;
  view.part.append(head, view.bar, view.ticks, view.video, view.caption);
  box.append(view.part);
  back.onclick = () => {
    view.from = startOf(view.from.getTime() - 1, view.hours);
    load(view);
  };
  on.onclick = () => { view.from = endOf(view); load(view); };
  zoom.onclick = () => {
    // The hour of what plays, else of the latest recording shown.
    const latest = view.recordings.length ? view.recordings[0].to : view.from.getTime();
    const time = view.playing ? wallTime(view, view.playing) : latest;
    view.hours = view.hours === 24 ? 1 : 24;
    zoom.textContent = view.hours === 24 ? "hour" : "day";
    view.from = startOf(view.hours === 24 ? view.from : time, view.hours);
    load(view);
  };
  view.bar.onclick = click => play(view, timeAt(view, click));
  view.video.ontimeupdate = () => showCursor(view);
  view.video.onloadedmetadata = () => {
    view.start = view.video.currentTime;
    if (view.seek) view.seek();
  };
  timelines[name] = view;
  load(view);
  return view;
}

function timeAt(view, click) {
  const place = view.bar.getBoundingClientRect();
  const share = (click.clientX - place.left) / place.width;
  return view.from.getTime() + share * (endOf(view) - view.from);
}

async function load(view) {
  const from = view.from, to = endOf(view);
  view.ticks.replaceChildren(...[0, 1, 2, 3, 4].map(quarter => element("span", "",
    view.hours === 24 ? quarter * 6 + ":00"
                      : clock(from.getTime() + quarter * (to - from) / 4).slice(0, 5))));
  view.label.textContent = from.toDateString() +
    (view.hours === 24 ? "" : ", " + clock(from).slice(0, 5) + " to " + clock(to).slice(0, 5));
  let problem = null;
  try {
    const answer = await fetch("/camera/" + encodeURIComponent(view.name) +
      "/recordings.json?after=" + encodeURIComponent(from.toISOString()) + "&before=" +
      encodeURIComponent(to.toISOString()), {cache: "no-store"});
    if (!answer.ok) throw new Error(await answer.text());
    const found = await answer.json();
    view.recordings = found.recordings.map(r => ({...r, from: Date.parse(r.first),
                                                  to: Date.parse(r.last)}));
    view.events = found.events.map(e => ({...e, from: Date.parse(e.start),
                                          to: Date.parse(e.end)}));
  } catch (error) {
    view.recordings = view.events = [];
    problem = error.message;
  }
  draw(view, problem);
}

function draw(view, problem) {
  const start = view.from.getTime(), span = endOf(view) - start;
  const bar = (item, className, title) => {
    const shown = element("div", className);
    const left = Math.max(0, item.from - start), right = Math.min(span, item.to - start);
    shown.style.left = (100 * left / span) + "%";
    shown.style.width = (100 * Math.max(0, right - left) / span) + "%";
    shown.title = title;
    return shown;
  };
  const events = view.events.map(event => {
    const shown = bar(event, "event", "event " + event.event + " at " + clock(event.from) +
                      ", " + event.seconds + " s");
    shown.onclick = click => { click.stopPropagation(); play(view, event.from); };
    return shown;
  });
  const recordings = view.recordings.map(recording => {
    const shown = bar(recording, "recording", clock(recording.from) + " to " +
                      clock(recording.to));
    // A short one is a few pixels wide, past its times: a click there plays it all.
    shown.onclick = click => {
      click.stopPropagation();
      const time = timeAt(view, click);
      play(view, time >= recording.from && time <= recording.to ? time : recording.from);
    };
    return shown;
  });
  view.bar.replaceChildren(...recordings, ...events, view.cursor);
  if (problem) {
    view.caption.textContent = problem;
  } else if (!view.playing) {
    view.caption.textContent = view.recordings.length + " recordings, " +
      view.events.length + " events; click the bar to play";
  }
  showCursor(view);
}

function recordingAt(view, time) {
  // The one that holds the time, else the first to begin after it.
  const held = view.recordings.find(r => r.from <= time && time <= r.to);
  const later = view.recordings.filter(r => r.from > time).sort((a, b) => a.from - b.from);
  return held || later[0];
}

const frameTimes = {};  // a video's frame times and rate, by their address
const SHOWN = 0.001;  // seconds past a frame's own time, so that it is the frame shown

async function timesOf(recording) {
  const known = frameTimes[recording.times];
  if (known && known.times.length >= recording.frames) return known;
  const answer = await fetch(recording.times, {cache: "no-store"});
  if (!answer.ok) throw new Error(await answer.text());
  return frameTimes[recording.times] = await answer.json();
}

function frameAt(times, offset) {
  // The last frame at or before the offset.
  let low = 0, high = times.length - 1;
  while (low < high) {
    const middle = (low + high + 1) >> 1;
    if (times[middle] <= offset) low = middle; else high = middle - 1;
  }
  return low;
}

function byFrame(log) {
  // A video of frames at one rate (every encoded one, a copy of a steady
  // stream) has its frame N at N / rate, whatever their times' gaps (a
  // motion recording's events, an outage); any other at its frames' times.
  return log.rate > 0;
}

function videoTime(view, recording, log, at) {
  // From the video's own start, where the browser puts it as it loads: a
  // video whose first frame waits for later ones (B-frames) starts after 0.
  const frame = frameAt(log.times, at - recording.from);
  return view.start + SHOWN + (byFrame(log) ? frame / log.rate
                                                       : log.times[frame] / 1000);
}

function wallTime(view, recording) {
  const log = frameTimes[recording.times];
  const played = view.video.currentTime - view.start;
  if (!log || !byFrame(log)) return recording.from + played * 1000;
  const frame = Math.floor(played * log.rate);
  return recording.from + log.times[Math.max(0, Math.min(log.times.length - 1, frame))];
}

async function play(view, time) {
  const recording = recordingAt(view, time);
  if (!recording) {
    view.caption.textContent = "nothing recorded after " + clock(time);
    return;
  }
  const at = Math.max(time, recording.from);
  let log;
  try {
    log = await timesOf(recording);
  } catch (error) {
    view.caption.textContent = "its frame log cannot be read: " + error.message;
    return;
  }
  const video = view.video;
  view.playing = recording;
  view.seek = () => {
    video.currentTime = videoTime(view, recording, log, at);
    video.play().catch(() => {});
  };
  video.hidden = false;
  if (video.getAttribute("src") === recording.video && video.readyState >= 1) {
    view.seek();
  } else {
    video.src = recording.video;  // seeks once its metadata is in
  }
  const clip = "/camera/" + encodeURIComponent(view.name) + "/export.mp4?start=" +
    encodeURIComponent(new Date(at - 30000).toISOString()) + "&end=" +
    encodeURIComponent(new Date(at + 30000).toISOString());
  const save = element("a", "", "save the minute around it");
  save.href = clip;
  save.download = "";
  view.caption.replaceChildren("playing " + clock(at) + ", " +
    decodeURIComponent(recording.video.split("/video/")[1]) + "; ", save);
}

function showCursor(view) {
  const start = view.from.getTime(), span = endOf(view) - start;
  const time = view.playing ? wallTime(view, view.playing) : NaN;
  const shown = time >= start && time <= start + span;
  view.cursor.style.display = shown ? "block" : "none";
  if (shown) view.cursor.style.left = (100 * (time - start) / span) + "%";
}

setInterval(() => Object.values(timelines).forEach(load), 30000);
"""
