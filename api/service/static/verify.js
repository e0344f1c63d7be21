// Verifies a plan PDF against the register: SHA-256 in the browser, then /plans/issued/{sha256}.
"use strict";

function hex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

// Web Crypto exists only in secure contexts (HTTPS, localhost); elsewhere the bundled digest.
async function sha256Hex(buffer) {
  if (window.crypto && crypto.subtle) return hex(new Uint8Array(await crypto.subtle.digest("SHA-256", buffer)));
  return hex(ravnSha256(new Uint8Array(buffer)));
}

function show(kind, ...content) {
  const verdict = document.getElementById("verdict");
  verdict.className = kind;
  verdict.replaceChildren(...content);
}

function issuesTable(issues) {
  const table = document.createElement("table");
  const head = table.createTHead().insertRow();
  for (const title of ["Issued", "Parcel", "Plan", "Bytes"]) {
    const th = document.createElement("th");
    th.textContent = title;
    head.appendChild(th);
  }
  const body = table.createTBody();
  for (const issue of issues) {
    const row = body.insertRow();
    row.insertCell().textContent = new Date(issue.issued_at).toLocaleString();
    row.insertCell().textContent = issue.parcel_id;
    row.insertCell().textContent = issue.document === "deed" ? "deed plan" : "site plan";
    row.insertCell().textContent = issue.bytes;
  }
  return table;
}

async function verify(file) {
  show("", "Computing the SHA-256…");
  const digest = await sha256Hex(await file.arrayBuffer());
  document.getElementById("digest").textContent = `SHA-256 ${digest}`;
  const token = document.getElementById("plan-token").value.trim();
  const headers = token ? { Authorization: `Bearer ${token}` } : {};
  const response = await fetch(`/plans/issued/${digest}`, { headers });
  if (response.status === 404) {
    show("unknown", "Never issued: the register holds no plan with this SHA-256. ",
         "The file is not a plan issued here, or it was changed after issue.");
    return;
  }
  if (!response.ok) {
    let detail = response.statusText;
    try { detail = (await response.json()).detail || detail; } catch (_) { /* not JSON */ }
    show("error", `The register could not be asked (${response.status}): ${detail}`);
    return;
  }
  const record = await response.json();
  const first = record.issues[0];
  show("issued", `Issued: ${first.document === "deed" ? "deed plan" : "site plan"} of parcel ${first.parcel_id}, `
       + `first on ${new Date(first.issued_at).toLocaleString()}.`, issuesTable(record.issues));
}

const token = document.getElementById("plan-token");
token.value = sessionStorage.getItem("planToken") || "";
token.addEventListener("change", () => sessionStorage.setItem("planToken", token.value.trim()));
document.getElementById("file").addEventListener("change", (event) => {
  const file = event.target.files[0];
  if (file) verify(file).catch((error) => show("error", `Verification failed: ${error.message}`));
});
