// The cadastral map: the style from /style.json (tiles from /gis, text from /glyphs), plans from
// /plans; or, with ?archive=NAME, the style of an exported archive, whose tiles need no database.
"use strict";

const ARCHIVE = new URLSearchParams(location.search).get("archive");
const STYLE_URL = ARCHIVE ? `/style.json?archive=${encodeURIComponent(ARCHIVE)}` : "/style.json";
// Web Mercator's sphere: easting and northing of the pointer for the coordinate readout.
const EARTH_RADIUS = 6378137;

// The router refuses bursts (429); a refused tile is fetched again after a growing pause.
maplibregl.addProtocol("retry", async (params, abort) => {
  const url = params.url.replace(/^retry:\/\//, "");
  let pause = 250;
  for (let attempt = 0; ; attempt++) {
    const response = await fetch(url, { signal: abort.signal });
    if (response.status === 429 && attempt < 8) {
      const after = Number(response.headers.get("Retry-After")) * 1000;
      await new Promise((resolve) => setTimeout(resolve, Math.max(pause, after || 0) * (0.75 + Math.random() / 2)));
      pause = Math.min(pause * 2, 4000);
      continue;
    }
    if (response.status === 204) return { data: new ArrayBuffer(0) };
    if (!response.ok) throw new Error(`${response.status} ${url}`);
    return { data: await response.arrayBuffer() };
  }
});

// Tiles go through the retrying protocol; the style, TileJSON and glyphs are fetched as they are.
function transformRequest(url, kind) {
  return kind === "Tile" && /^https?:/.test(url) ? { url: `retry://${url}` } : { url };
}

async function getJSON(path, options) {
  const response = await fetch(path, options);
  if (!response.ok) throw new Error(`${response.status} ${path}`);
  return response.json();
}

async function showHealth() {
  const badge = document.getElementById("health");
  if (ARCHIVE) {
    badge.className = "badge archive";
    badge.textContent = `offline archive: ${ARCHIVE}`;
    return;
  }
  try {
    const health = await getJSON("/gis/health/");
    const ok = health.status === "healthy";
    const cache = health.cache_status === "healthy";
    const state = ok ? (cache ? "healthy" : "degraded") : "unhealthy";
    badge.className = `badge ${state}`;
    badge.textContent = ok ? (cache ? "service healthy" : "cache unavailable") : "service unhealthy";
  } catch (error) {
    badge.className = "badge unhealthy";
    badge.textContent = "service unreachable";
  }
}

function planToken() {
  return document.getElementById("plan-token").value.trim();
}

// The server names its documents; the page keeps that name.
function serverFileName(response, fallback) {
  const header = response.headers.get("Content-Disposition") || "";
  const encoded = /filename\*\s*=\s*UTF-8''([^;]+)/i.exec(header);
  if (encoded) return decodeURIComponent(encoded[1]);
  const plain = /filename\s*=\s*"?([^";]+)"?/i.exec(header);
  return plain ? plain[1] : fallback;
}

async function downloadPlan(path, fallbackName, status) {
  const token = planToken();
  if (!token) { status.textContent = "Enter the plan token first."; return; }
  status.textContent = "Drawing…";
  const response = await fetch(path, { headers: { Authorization: `Bearer ${token}` } });
  if (!response.ok) {
    let detail = response.statusText;
    try { detail = (await response.json()).detail || detail; } catch (_) { /* not JSON */ }
    status.textContent = `Refused (${response.status}): ${typeof detail === "string" ? detail : JSON.stringify(detail)}`;
    return;
  }
  const link = document.createElement("a");
  link.href = URL.createObjectURL(await response.blob());
  link.download = serverFileName(response, fallbackName);
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  status.textContent = "";
}

function field(form, name, text, value, readOnly) {
  const label = document.createElement("label");
  label.textContent = `${text} `;
  const input = document.createElement("input");
  input.name = name;
  input.value = value ?? "";
  input.required = true;
  input.readOnly = readOnly;
  label.appendChild(input);
  form.appendChild(label);
  return input;
}

function parcelPopup(properties) {
  const root = document.createElement("div");
  root.className = "parcel";
  const table = document.createElement("table");
  for (const [key, value] of Object.entries(properties)) {
    if (key === "feature_id") continue;  // the router's copy of ID
    const row = table.insertRow();
    const th = document.createElement("th");
    th.textContent = key;
    row.appendChild(th);
    row.insertCell().textContent = value ?? "";
  }
  root.appendChild(table);
  if (ARCHIVE) {
    const note = document.createElement("p");
    note.className = "note";
    note.textContent = "Plans are drawn by the live service, from the database.";
    root.appendChild(note);
    return root;
  }
  const id = properties.ID;
  const status = document.createElement("div");
  status.className = "error";
  const site = document.createElement("button");
  site.type = "button";
  site.className = "siteplan";
  site.textContent = "Site plan (PDF)";
  site.onclick = () => downloadPlan(`/plans/${encodeURIComponent(id)}/siteplan.pdf`, `siteplan-${id}.pdf`, status);
  root.appendChild(site);

  // District and zone are the register's, shown as recorded: the deed plan certifies them.
  const form = document.createElement("form");
  form.className = "deedplan";
  field(form, "person_name", "Person", "", false);
  const district = field(form, "district", "District", "", true);
  const cadzone = field(form, "cadzone", "Cadastral zone", properties.CADZONE, true);
  field(form, "file_no", "File number", properties.file_no, false);
  const deed = document.createElement("button");
  deed.type = "submit";
  deed.className = "deedplan";
  deed.textContent = "Deed plan (PDF)";
  deed.disabled = true;
  form.appendChild(deed);
  getJSON(`/parcels/${encodeURIComponent(id)}/place`).then((place) => {
    district.value = place.district ?? "";
    cadzone.value = place.cadzone ?? "";
    deed.disabled = false;
  }).catch((error) => { status.textContent = `District and zone unavailable: ${error.message}`; });
  form.onsubmit = (event) => {
    event.preventDefault();
    const query = new URLSearchParams(new FormData(form));
    downloadPlan(`/plans/${encodeURIComponent(id)}/deedplan.pdf?${query}`, `deedplan-${id}.pdf`, status);
  };
  root.appendChild(form);
  root.appendChild(status);
  return root;
}

// Exported archives the host serves, as links to view them; and from an archive, back to the live map.
async function listArchives() {
  const box = document.getElementById("archives");
  if (ARCHIVE) {
    const back = document.createElement("a");
    back.href = "/";
    back.textContent = "Live map";
    box.append(back);
    return;
  }
  let names = [];
  try { names = (await getJSON("/archive/")).archives.map((a) => a.name); } catch (_) { return; }
  if (!names.length) return;
  box.append("Offline archives: ");
  names.forEach((name, i) => {
    const link = document.createElement("a");
    link.href = `/?archive=${encodeURIComponent(name)}`;
    link.textContent = name;
    box.append(...(i ? [", ", link] : [link]));
  });
}

function setPanelOpen(open) {
  const panel = document.getElementById("panel");
  panel.classList.toggle("collapsed", !open);
  document.getElementById("panel-toggle").setAttribute("aria-expanded", String(open));
}

const isPhone = () => window.matchMedia("(max-width: 600px)").matches;

// Layer toggles: one per tile layer, switching every style layer drawn from it.
function buildToggles(map) {
  const style = map.getStyle();
  const zooms = (style.metadata && style.metadata["ravn:layers"]) || {};
  const box = document.getElementById("layers");
  for (const name of Object.keys(zooms)) {
    const drawn = style.layers.filter((l) => l["source-layer"] === name);
    if (!drawn.length) continue;
    const label = document.createElement("label");
    const check = document.createElement("input");
    check.type = "checkbox";
    check.name = name;
    check.checked = drawn.some((l) => (l.layout || {}).visibility !== "none");
    check.onchange = () => {
      for (const layer of drawn) map.setLayoutProperty(layer.id, "visibility", check.checked ? "visible" : "none");
    };
    const from = Math.min(...drawn.filter((l) => l.type !== "symbol").map((l) => l.minzoom ?? 0));
    label.append(check, ` ${name} (from z${from})`);
    box.appendChild(label);
  }
}

// The land-use legend, read from the parcels' fill colours in the style.
function buildLegend(map) {
  const box = document.getElementById("legend");
  const fill = map.getLayer("plots-fill") && map.getPaintProperty("plots-fill", "fill-color");
  if (!Array.isArray(fill) || fill[0] !== "match") { box.hidden = true; return; }
  const entry = (name, colour) => {
    const row = document.createElement("div");
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = colour;
    row.append(swatch, name);
    row.dataset.colour = colour;
    box.appendChild(row);
  };
  for (let i = 2; i + 1 < fill.length; i += 2) entry(fill[i], fill[i + 1]);
  entry("Other", fill[fill.length - 1]);
}

function showCoordinates(map) {
  const readout = document.getElementById("coords");
  map.on("mousemove", (event) => {
    const { lng, lat } = event.lngLat;
    const x = (EARTH_RADIUS * lng * Math.PI) / 180;
    const y = EARTH_RADIUS * Math.log(Math.tan(Math.PI / 4 + (lat * Math.PI) / 360));
    readout.textContent = `${lat.toFixed(6)}°, ${lng.toFixed(6)}°\nE ${x.toFixed(1)} m  N ${y.toFixed(1)} m (EPSG:3857)`;
  });
  map.getCanvas().addEventListener("mouseleave", () => { readout.textContent = ""; });
}

// Search: the first result is flown to and highlighted; the others are listed to choose from.
function highlight(map, result) {
  const none = ["==", ["get", "ID"], -1];
  if (map.getLayer("search-parcel")) {
    map.setFilter("search-parcel", result.kind !== "beacon" ? ["==", ["get", "ID"], result.plot_id] : none);
  }
  if (map.getLayer("search-beacon")) {
    map.setFilter("search-beacon", result.kind === "beacon" ? ["==", ["get", "BEACON_NO"], result.label] : none);
  }
  window.ravnSelected = result;
}

function goTo(map, result) {
  highlight(map, result);
  if (result.bbox) {
    map.fitBounds([[result.bbox[0], result.bbox[1]], [result.bbox[2], result.bbox[3]]],
                  { maxZoom: 19, padding: isPhone() ? 40 : { top: 40, bottom: 40, left: 270, right: 40 } });
  } else {
    map.flyTo({ center: [result.lon, result.lat], zoom: 19 });
  }
}

function addHighlightLayers(map) {
  const style = map.getStyle();
  const plots = style.layers.find((l) => l.id === "plots-fill");
  const beacons = style.layers.find((l) => l.id === "beacons-circle");
  if (plots) {
    map.addLayer({ id: "search-parcel", type: "line", source: plots.source, "source-layer": "plots",
                   filter: ["==", ["get", "ID"], -1],
                   paint: { "line-color": "#ff6f00", "line-width": 4 } }, "plots-label");
  }
  if (beacons) {
    map.addLayer({ id: "search-beacon", type: "circle", source: beacons.source, "source-layer": "beacons",
                   filter: ["==", ["get", "BEACON_NO"], ""],
                   paint: { "circle-radius": 9, "circle-color": "rgba(0,0,0,0)", "circle-stroke-color": "#ff6f00",
                            "circle-stroke-width": 3 } });
  }
}

function setUpSearch(map) {
  const form = document.getElementById("search");
  if (ARCHIVE) { form.hidden = true; return; }
  const list = document.getElementById("search-results");
  const status = document.getElementById("search-status");
  form.onsubmit = async (event) => {
    event.preventDefault();
    const q = document.getElementById("search-text").value.trim();
    list.replaceChildren();
    status.textContent = "";
    if (!q) return;
    let results;
    try {
      results = (await getJSON(`/search?q=${encodeURIComponent(q)}`)).results;
    } catch (error) {
      status.textContent = `Search failed: ${error.message}`;
      return;
    }
    if (!results.length) { status.textContent = "Nothing found."; return; }
    for (const result of results) {
      const item = document.createElement("li");
      const button = document.createElement("button");
      button.type = "button";
      const kind = document.createElement("span");
      kind.className = "kind";
      kind.textContent = result.kind;
      button.append(kind, result.label, result.detail ? ` — ${result.detail}` : "");
      button.onclick = () => { goTo(map, result); if (isPhone()) setPanelOpen(false); };
      item.appendChild(button);
      list.appendChild(item);
    }
    goTo(map, results[0]);
  };
}

async function main() {
  const token = document.getElementById("plan-token");
  token.value = sessionStorage.getItem("planToken") || "";
  token.addEventListener("change", () => sessionStorage.setItem("planToken", token.value.trim()));
  document.getElementById("panel-toggle").onclick = () =>
    setPanelOpen(document.getElementById("panel").classList.contains("collapsed"));
  if (isPhone()) setPanelOpen(false);
  showHealth();
  setInterval(showHealth, 30000);
  listArchives();  // also when the live map cannot load, e.g. with the database down

  const map = new maplibregl.Map({ container: "map", style: STYLE_URL, maxZoom: 21, transformRequest,
                                   attributionControl: { compact: isPhone() } });
  window.ravnMap = map;
  map.addControl(new maplibregl.NavigationControl(), "top-right");
  map.addControl(new maplibregl.ScaleControl({ unit: "metric" }), "bottom-right");
  map.on("error", (event) => console.error(event.error || event));

  await new Promise((resolve) => map.once("load", resolve));
  const title = map.getStyle().name;
  if (ARCHIVE && title) document.title = title;
  buildToggles(map);
  buildLegend(map);
  addHighlightLayers(map);
  showCoordinates(map);
  setUpSearch(map);

  map.on("click", "plots-fill", (event) => {
    const feature = event.features[0];
    const options = { maxWidth: "320px" };
    if (isPhone()) {
      // The parcel moves to just under the folded panel and the popup opens below it, with the
      // whole screen's height for its buttons.
      setPanelOpen(false);
      const below = document.getElementById("panel").getBoundingClientRect().bottom + 12;
      map.easeTo({ center: event.lngLat, offset: [0, below - map.getCanvas().clientHeight / 2], duration: 0 });
      options.anchor = "top";
    }
    new maplibregl.Popup(options).setLngLat(event.lngLat)
      .setDOMContent(parcelPopup(feature.properties)).addTo(map);
  });
  map.on("mouseenter", "plots-fill", () => { map.getCanvas().style.cursor = "pointer"; });
  map.on("mouseleave", "plots-fill", () => { map.getCanvas().style.cursor = ""; });
}

main().catch((error) => {
  document.getElementById("health").textContent = `viewer failed: ${error.message}`;
  console.error(error);
});
