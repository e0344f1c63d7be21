// The cadastral map: tiles from /gis, plans from /plans; or, with ?archive=NAME, the tiles of an
// exported archive from /archive/NAME, which needs no database.
"use strict";

const ARCHIVE = new URLSearchParams(location.search).get("archive");

const LAND_USE_COLOURS = {
  Residential: "#f4e3a1", Commercial: "#f2a7a7", Industrial: "#c9b3d9", Institutional: "#a9c8e8",
  "Mixed Use": "#f5c58a", "Open Space": "#b5dba0", Religious: "#d8c3a5", Lane: "#e0e0e0",
};
const INITIALLY_ON = new Set(["plots", "roads", "beacons"]);
// Labels are HTML markers: text in the map itself needs glyph files we do not ship.
const LABEL_ZOOM = 17;
const MAX_LABELS = 150;

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

function styleLayers(name, minzoom, source) {
  const base = { source, "source-layer": name, minzoom };
  switch (name) {
    case "plots": {
      const fill = ["match", ["get", "GENERAL_LU"]];
      for (const [use, colour] of Object.entries(LAND_USE_COLOURS)) fill.push(use, colour);
      fill.push("#eeeeee");
      return [
        { ...base, id: "plots-fill", type: "fill", paint: { "fill-color": fill, "fill-opacity": 0.85 } },
        { ...base, id: "plots-outline", type: "line", paint: { "line-color": "#7a5c3a", "line-width": 0.8 } },
      ];
    }
    case "beacons":
      return [{ ...base, id: "beacons-circle", type: "circle",
        paint: { "circle-radius": ["interpolate", ["linear"], ["zoom"], 12, 1.5, 18, 4],
                 "circle-color": "#d32f2f", "circle-stroke-color": "#fff", "circle-stroke-width": 0.5 } }];
    case "roads":
      return [{ ...base, id: "roads-line", type: "line", layout: { "line-cap": "round", "line-join": "round" },
        paint: { "line-color": "#8d6e63", "line-width": ["interpolate", ["linear"], ["zoom"], 10, 1, 18, 6] } }];
    case "lgas":
      return [{ ...base, id: "lgas-outline", type: "line", paint: { "line-color": "#6a1b9a", "line-width": 2.5 } }];
    case "districts":
      return [{ ...base, id: "districts-outline", type: "line",
        paint: { "line-color": "#1565c0", "line-width": 1.5, "line-dasharray": [4, 2] } }];
    case "cadzones":
      return [{ ...base, id: "cadzones-outline", type: "line",
        paint: { "line-color": "#00838f", "line-width": 1, "line-dasharray": [2, 2] } }];
    default:
      return [{ ...base, id: `${name}-line`, type: "line", paint: { "line-color": "#555" } }];
  }
}

// Thin boundaries draw above the parcels, circles on top.
const ORDER = ["plots", "cadzones", "districts", "lgas", "roads", "beacons"];

async function getJSON(path) {
  const response = await fetch(path);
  if (!response.ok) throw new Error(`${response.status} ${path}`);
  return response.json();
}

function tileToLngLat(z, x, y) {
  const n = Math.PI - (2 * Math.PI * (y + 0.5)) / 2 ** z;
  return [((x + 0.5) / 2 ** z) * 360 - 180, (180 / Math.PI) * Math.atan(Math.sinh(n))];
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
  const field = document.getElementById("plan-token");
  return field.value.trim();
}

async function downloadPlan(path, filename, status) {
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
  link.download = filename;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  status.textContent = "";
}

function parcelPopup(properties) {
  const root = document.createElement("div");
  root.className = "parcel";
  const table = document.createElement("table");
  for (const [key, value] of Object.entries(properties)) {
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

  const form = document.createElement("form");
  form.className = "deedplan";
  const fields = [["person_name", "Person"], ["district", "District"], ["cadzone", "Cadastral zone"],
                  ["file_no", "File number"]];
  const defaults = { cadzone: properties.CADZONE, file_no: properties.file_no };
  for (const [name, text] of fields) {
    const label = document.createElement("label");
    label.textContent = `${text} `;
    const input = document.createElement("input");
    input.name = name;
    input.required = true;
    input.value = defaults[name] ?? "";
    label.appendChild(input);
    form.appendChild(label);
  }
  const deed = document.createElement("button");
  deed.type = "submit";
  deed.textContent = "Deed plan (PDF)";
  form.appendChild(deed);
  form.onsubmit = (event) => {
    event.preventDefault();
    const query = new URLSearchParams(new FormData(form));
    downloadPlan(`/plans/${encodeURIComponent(id)}/deedplan.pdf?${query}`, `deedplan-${id}.pdf`, status);
  };
  root.appendChild(form);
  root.appendChild(status);
  return root;
}

function labelPoint(geometry) {
  if (geometry.type === "Point") return geometry.coordinates;
  const line = geometry.type === "MultiLineString" ? geometry.coordinates[0] : geometry.coordinates;
  return line[Math.floor(line.length / 2)];
}

function refreshLabels(map, markers) {
  for (const marker of markers.splice(0)) marker.remove();
  if (map.getZoom() < LABEL_ZOOM) return;
  const seen = new Set();
  const wanted = [["beacons-circle", "BEACON_NO", "beacon"], ["roads-line", "ROAD_NAME", "road"]];
  for (const [layer, key, kind] of wanted) {
    if (!map.getLayer(layer) || map.getLayoutProperty(layer, "visibility") === "none") continue;
    for (const feature of map.queryRenderedFeatures({ layers: [layer] })) {
      const text = feature.properties[key];
      if (!text || seen.has(`${kind}:${text}`) || markers.length >= MAX_LABELS) continue;
      seen.add(`${kind}:${text}`);
      const element = document.createElement("div");
      element.className = `label ${kind}`;
      element.textContent = text;
      markers.push(new maplibregl.Marker({ element, anchor: kind === "beacon" ? "left" : "center",
        offset: kind === "beacon" ? [5, 0] : [0, 0] }).setLngLat(labelPoint(feature.geometry)).addTo(map));
    }
  }
}

// The live service: a source per layer from the XYZ endpoint, opening at the suggested parcel tile.
async function liveView() {
  const [catalogue, centroid] = await Promise.all([getJSON("/gis/layers/"), getJSON("/gis/plots/")]);
  const layers = {};
  const sources = {};
  for (const [name, entry] of Object.entries(catalogue.data.layers)) {
    layers[name] = { min_zoom: entry.min_zoom ?? 0 };
    sources[name] = { type: "vector", tiles: [`retry://${location.origin}/gis/${name}/{z}/{x}/{y}.pbf`],
                      minzoom: layers[name].min_zoom, maxzoom: 20 };
  }
  const tile = centroid.data.suggested_tile;
  return { layers, sources, sourceOf: (name) => name, center: tileToLngLat(tile.z, tile.x, tile.y), zoom: tile.z };
}

// An exported archive: one source whose tiles hold every layer, shown from each layer's own minimum
// zoom and over-zoomed past the archive's deepest level.
async function archiveView(name) {
  const base = `/archive/${encodeURIComponent(name)}`;
  const metadata = await getJSON(`${base}/metadata.json`);
  const layers = {};
  for (const entry of metadata.vector_layers || []) layers[entry.id] = { min_zoom: Number(entry.minzoom ?? 0) };
  const minzoom = Number(metadata.minzoom ?? 0);
  const maxzoom = Number(metadata.maxzoom ?? 20);
  const sources = { archive: { type: "vector", tiles: [`retry://${location.origin}${base}/{z}/{x}/{y}.pbf`],
                               minzoom, maxzoom, bounds: (metadata.bounds || "-180,-85,180,85").split(",").map(Number) } };
  const [lng, lat] = (metadata.center || "0,0").split(",").map(Number);
  // Open where parcels show, inside the archive's zooms.
  const zoom = Math.min(maxzoom, Math.max(layers.plots?.min_zoom ?? minzoom, minzoom));
  document.title = `${metadata.name || name} (offline archive)`;
  return { layers, sources, sourceOf: () => "archive", center: [lng, lat], zoom };
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

async function main() {
  const token = document.getElementById("plan-token");
  token.value = sessionStorage.getItem("planToken") || "";
  token.addEventListener("change", () => sessionStorage.setItem("planToken", token.value.trim()));
  showHealth();
  setInterval(showHealth, 30000);
  listArchives();  // also when the live map cannot load, e.g. with the database down

  const view = ARCHIVE ? await archiveView(ARCHIVE) : await liveView();
  const style = { version: 8, sources: view.sources, layers: [
    { id: "background", type: "background", paint: { "background-color": "#fbfaf6" } }] };
  const layers = view.layers;
  const names = ORDER.filter((n) => n in layers).concat(Object.keys(layers).filter((n) => !ORDER.includes(n)));
  for (const name of names) {
    for (const layer of styleLayers(name, layers[name].min_zoom, view.sourceOf(name))) {
      layer.layout = { ...(layer.layout || {}), visibility: INITIALLY_ON.has(name) ? "visible" : "none" };
      style.layers.push(layer);
    }
  }
  const map = new maplibregl.Map({ container: "map", style, center: view.center, zoom: view.zoom, maxZoom: 21,
                                   attributionControl: false });
  map.addControl(new maplibregl.NavigationControl(), "top-right");
  map.addControl(new maplibregl.ScaleControl({ unit: "metric" }), "bottom-right");
  window.ravnMap = map;

  const box = document.getElementById("layers");
  for (const name of names) {
    const label = document.createElement("label");
    const check = document.createElement("input");
    check.type = "checkbox";
    check.name = name;
    check.checked = INITIALLY_ON.has(name);
    check.onchange = () => {
      for (const layer of style.layers.filter((l) => l["source-layer"] === name)) {
        map.setLayoutProperty(layer.id, "visibility", check.checked ? "visible" : "none");
      }
      map.triggerRepaint();
    };
    label.append(check, ` ${name} (from z${layers[name].min_zoom})`);
    box.appendChild(label);
  }

  const markers = [];
  map.on("moveend", () => refreshLabels(map, markers));
  map.on("idle", () => { if (!markers.length) refreshLabels(map, markers); });
  map.on("click", "plots-fill", (event) => {
    const feature = event.features[0];
    new maplibregl.Popup({ maxWidth: "320px" }).setLngLat(event.lngLat)
      .setDOMContent(parcelPopup(feature.properties)).addTo(map);
  });
  map.on("mouseenter", "plots-fill", () => { map.getCanvas().style.cursor = "pointer"; });
  map.on("mouseleave", "plots-fill", () => { map.getCanvas().style.cursor = ""; });
}

main().catch((error) => {
  document.getElementById("health").textContent = `viewer failed: ${error.message}`;
  console.error(error);
});
