// The appliance's camera page: four channels and the quad view, each asked
// for again about once a second, and the sensor table, asked for on its own
// (data=2, the record alone) at the same pace.  Riding on a picture
// (data=1), the table would wait for that picture's cameras: a dead one
// holds a request for 3 seconds.
"use strict";

const CGI = "/cgi-bin/camsnap";
const REFRESH_MS = 1000;
const TILES = [
  { id: "ch0", channel: 0, label: "Channel 0" },
  { id: "ch1", channel: 1, label: "Channel 1" },
  { id: "ch2", channel: 2, label: "Channel 2" },
  { id: "ch3", channel: 3, label: "Channel 3" },
  { id: "quad", channel: 4, label: "Quad view" },
];
const SENSOR_TYPES = { 1: "temperature", 2: "4-20 mA", 5: "analogue" };
const NO_STATUS = 255;
const NO_VALUE = 0xffff;

const sizeChoice = document.getElementById("size");
const qualityChoice = document.getElementById("quality");

function makeTile(tile) {
  const figure = document.createElement("figure");
  figure.id = "tile-" + tile.id;
  figure.dataset.state = "waiting";
  figure.innerHTML =
    '<div class="frame"><img alt=""><div class="banner">camera not delivering</div></div>' +
    '<figcaption><span class="name"></span>: <span class="state">waiting</span>' +
    ' <span class="info"></span></figcaption>';
  figure.querySelector("img").id = tile.id;
  figure.querySelector(".name").textContent = tile.label;
  document.getElementById("cameras").appendChild(figure);
  tile.figure = figure;
  tile.img = figure.querySelector("img");
  tile.url = null;
}

function setState(tile, state, text) {
  if (state === "down" && tile.figure.dataset.state === "live")
    tile.figure.querySelector(".info").textContent = "(last picture)";
  tile.figure.dataset.state = state;
  tile.figure.classList.toggle("down", state === "down");
  tile.figure.querySelector(".state").textContent = text;
}

function requestUrl(tile) {
  return CGI + "?channel=" + tile.channel + "&mode=" + sizeChoice.value + "&jq=" + qualityChoice.value;
}

// Show a JPEG in the tile; the old picture stays until the new one decodes.
async function showPicture(tile, jpeg, quality) {
  const url = URL.createObjectURL(new Blob([jpeg], { type: "image/jpeg" }));
  const probe = new Image();
  probe.src = url;
  try {
    await probe.decode();
  } catch (err) {
    URL.revokeObjectURL(url);
    setState(tile, "down", "damaged picture");
    return;
  }
  tile.img.src = url;
  if (tile.url)
    URL.revokeObjectURL(tile.url);
  tile.url = url;
  tile.figure.querySelector(".frame").style.minWidth = probe.naturalWidth + "px";
  tile.figure.querySelector(".info").textContent =
    probe.naturalWidth + "x" + probe.naturalHeight + ", " + jpeg.byteLength + " bytes, jq " + quality;
  setState(tile, "live", "live");
}

async function refresh(tile) {
  const started = performance.now();
  const quality = qualityChoice.value;
  try {
    const response = await fetch(requestUrl(tile), { cache: "no-store" });
    const type = response.headers.get("Content-Type") || "";
    const body = await response.arrayBuffer();
    if (response.status === 503) {
      // camsnap's semaphore error page: the camera gave no frame in time.
      setState(tile, "down", "not delivering");
    } else if (!response.ok) {
      setState(tile, "down", "web server answered " + response.status);
    } else if (!type.startsWith("image/jpeg")) {
      setState(tile, "down", "answer is not a picture");
    } else {
      await showPicture(tile, body, quality);
    }
  } catch (err) {
    setState(tile, "down", "no answer");
  }
  const spent = performance.now() - started;
  setTimeout(() => refresh(tile), Math.max(0, REFRESH_MS - spent));
}

function text(bytes) {
  return new TextDecoder("utf-8").decode(bytes);
}

// Decode the sensor status record: a count, then per sensor a status entry
// (port, type, status, big-endian value), then per sensor a unit entry and
// a description entry (port, length, text).  Throws on a record cut short.
function decodeRecord(bytes) {
  let at = 0;
  function take(n) {
    if (at + n > bytes.length)
      throw new Error("record cut short at byte " + at);
    const part = bytes.subarray(at, at + n);
    at += n;
    return part;
  }
  const count = take(1)[0];
  const sensors = [];
  for (let i = 0; i < count; i++) {
    const e = take(5);
    sensors.push({ port: e[0], type: e[1], status: e[2], value: (e[3] << 8) | e[4] });
  }
  for (const field of ["unit", "description"]) {
    for (const sensor of sensors) {
      const head = take(2);
      sensor[field] = text(take(head[1]));
    }
  }
  return sensors;
}

function showSensorProblem(why) {
  document.getElementById("sensor-state").textContent = why;
  document.getElementById("sensors").dataset.state = "unavailable";
}

function showSensors(record) {
  if (record.length === 0) {
    showSensorProblem("no sensor record: the daemon is not answering");
    return;
  }
  let sensors;
  try {
    sensors = decodeRecord(record);
  } catch (err) {
    showSensorProblem("damaged sensor record: " + err.message);
    return;
  }
  const rows = sensors.map((s) => {
    const tr = document.createElement("tr");
    const cells = [
      [s.port, "num"],
      [SENSOR_TYPES[s.type] || "type " + s.type, ""],
      [s.status === NO_STATUS ? "n/a" : s.status, "num"],
      [s.value === NO_VALUE ? "n/a" : s.value, "num"],
      [s.unit, "unit"],
      [s.description, "description"],
    ];
    for (const [value, cls] of cells) {
      const td = document.createElement("td");
      td.textContent = value;
      if (cls)
        td.className = cls;
      tr.appendChild(td);
    }
    return tr;
  });
  document.querySelector("#sensors tbody").replaceChildren(...rows);
  document.getElementById("sensors").dataset.state = "live";
  document.getElementById("sensor-state").textContent =
    sensors.length + " sensors, read " + new Date().toLocaleTimeString();
}

// The record alone, as "status.bin": no camera is waited for.
async function refreshSensors() {
  const started = performance.now();
  try {
    const response = await fetch(CGI + "?data=2", { cache: "no-store" });
    const body = await response.arrayBuffer();
    if (response.ok)
      showSensors(new Uint8Array(body));
    else
      showSensorProblem("web server answered " + response.status);
  } catch (err) {
    showSensorProblem("no answer");
  }
  const spent = performance.now() - started;
  setTimeout(refreshSensors, Math.max(0, REFRESH_MS - spent));
}

for (const tile of TILES) {
  makeTile(tile);
  refresh(tile);
}
refreshSensors();
