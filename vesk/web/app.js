// The search page: asks /api/search as the question, alpha, k or filter
// change, and shows the keyword, semantic and hybrid lists side by side.
// Every value from the server is inserted as text, never as HTML.
"use strict";

const $ = (id) => document.getElementById(id);
const state = { info: null, seq: 0, shown: 0, timer: null, lastWhere: null };

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (key === "class") node.className = value;
    else if (key.startsWith("data-")) node.setAttribute(key, value);
    else node[key] = value;
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

function fmt(x, digits = 4) {
  if (x === null || x === undefined) return "–";
  if (Number.isInteger(x)) return String(x);
  return Number(x).toPrecision(digits).replace(/(\.\d*?)0+$/, "$1").replace(/\.$/, "");
}

function show(node, text) {
  node.textContent = text || "";
  node.hidden = !text;
}

async function getJSON(path, params) {
  const url = new URL(path, location.href);
  for (const [key, value] of Object.entries(params || {})) {
    if (value !== null && value !== undefined && value !== "") url.searchParams.set(key, value);
  }
  const response = await fetch(url, { headers: { Accept: "application/json" } });
  let body;
  try {
    body = await response.json();
  } catch (e) {
    throw new Error(`${response.status} ${response.statusText}`);
  }
  if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
}

// --- the filter box --------------------------------------------------------

function readWhere() {
  const raw = $("where").value.trim();
  const box = $("where-error");
  if (raw === "") {
    show(box, "");
    $("where-summary").textContent = "";
    return { ok: true, value: "" };
  }
  try {
    const parsed = JSON.parse(raw);
    if (parsed === null || typeof parsed !== "object" || Array.isArray(parsed)) {
      throw new Error("the filter must be a JSON object, like {\"lang\": \"en\"}");
    }
    show(box, "");
    $("where-summary").textContent = "(on) " + JSON.stringify(parsed);
    return { ok: true, value: JSON.stringify(parsed) };
  } catch (e) {
    show(box, "Not applied: " + e.message);
    return { ok: false };
  }
}

// --- results -----------------------------------------------------------------

function metadataChips(metadata) {
  const keys = Object.keys(metadata || {});
  if (keys.length === 0) return null;
  const list = el("ul", { class: "meta" });
  for (const key of keys) {
    list.append(el("li", { title: key }, el("b", {}, key), " ", JSON.stringify(metadata[key])));
  }
  return list;
}

function hitItem(hit, kind) {
  const sides = [];
  if (kind === "hybrid") {
    sides.push(el("span", { class: "side", title: "rank in the keyword list" },
      "kw ", hit.keyword_rank === null ? "–" : "#" + hit.keyword_rank));
    sides.push(el("span", { class: "side", title: "rank in the semantic list" },
      "sem ", hit.dense_rank === null ? "–" : "#" + hit.dense_rank));
  }
  const button = el("button", { type: "button", class: "explain", textContent: "explain" });
  button.addEventListener("click", () => explain(hit.id));
  return el("li", { class: "hit", "data-id": hit.id },
    el("div", { class: "line" },
      el("span", { class: "rank" }, hit.rank),
      el("span", { class: "id", title: hit.id }, hit.id),
      el("span", { class: "score", title: "score " + hit.score }, fmt(hit.score)),
      ...sides,
      button),
    el("p", { class: "text" }, hit.text),
    metadataChips(hit.metadata));
}

function fill(kind, hits, emptyText) {
  const list = $("list-" + kind);
  list.replaceChildren();
  if (hits === null) return;
  if (hits.length === 0) {
    list.append(el("li", { class: "empty" }, emptyText));
    return;
  }
  for (const hit of hits) list.append(hitItem(hit, kind));
}

function clearLists() {
  for (const kind of ["keyword", "semantic", "hybrid"]) $("list-" + kind).replaceChildren();
  document.body.dataset.state = "idle";
}

async function search() {
  const q = $("q").value.trim();
  const alpha = $("alpha").value;
  const k = $("k").value;
  const where = readWhere();
  syncURL();
  if (!where.ok) return;
  const seq = ++state.seq;
  if (q === "") {
    state.shown = seq;
    show($("error"), "");
    clearLists();
    return;
  }
  document.body.dataset.state = "loading";
  try {
    const result = await getJSON("api/search", { q, alpha, k, where: where.value });
    if (seq < state.shown) return; // a newer answer is already on screen
    state.shown = seq;
    show($("error"), "");
    const none = where.value ? "No matching document." : "No document matches.";
    fill("keyword", result.keyword, where.value ? none : "No document contains these words.");
    fill("semantic", result.semantic, none);
    fill("hybrid", result.hybrid, none);
    $("hybrid-alpha").textContent = Number(result.alpha).toFixed(2);
    document.body.dataset.state = seq === state.seq ? "done" : "loading";
    document.body.dataset.alpha = String(result.alpha);
  } catch (e) {
    if (seq < state.shown) return;
    state.shown = seq;
    show($("error"), e.message);
    document.body.dataset.state = "error";
  }
}

function schedule(delay) {
  clearTimeout(state.timer);
  state.timer = setTimeout(search, delay);
}

// --- explain -----------------------------------------------------------------

function table(headers, rows) {
  return el("table", {},
    el("thead", {}, el("tr", {}, ...headers.map((h) => el("th", {}, h)))),
    el("tbody", {}, ...rows.map((r) => el("tr", {}, ...r.map((c) => el("td", {}, c))))));
}

async function explain(id) {
  const body = $("explain-body");
  body.replaceChildren(el("p", { class: "muted" }, "…"));
  if (!$("explain").open) $("explain").showModal();
  try {
    const e = await getJSON("api/explain", { id, q: $("q").value.trim(), alpha: $("alpha").value });
    const parts = [el("h2", {}, "Why ", el("code", {}, e.id), " scores what it does"),
      el("p", { class: "muted" }, "for ", el("q", {}, e.query), ", alpha ", fmt(e.alpha, 3))];
    if (e.keyword) {
      const kw = e.keyword;
      parts.push(el("h3", {}, "Keyword side",
          e.keyword_counted ? null : el("span", { class: "muted" }, " (not counted at alpha " + fmt(e.alpha, 3) + ")")),
        el("p", {}, "BM25 score ", el("b", {}, fmt(kw.score)), ", rank ",
          kw.rank === null ? "not among the candidates" : "#" + kw.rank,
          "; document length ", kw.length, " tokens, average ", fmt(kw.avgdl)),
        kw.terms.length
          ? table(["term", "tf", "idf", "weight"], kw.terms.map((t) => [t.term, t.tf, fmt(t.idf), fmt(t.weight)]))
          : el("p", { class: "muted" }, "No query term after tokenizing."));
    }
    parts.push(el("h3", {}, "Semantic side",
      e.dense && !e.dense_counted ? el("span", { class: "muted" }, " (not counted at alpha " + fmt(e.alpha, 3) + ")") : null));
    if (e.dense) {
      parts.push(el("p", {}, "inner product ", el("b", {}, fmt(e.dense.score)), ", rank ",
        e.dense.rank === null ? "not among the candidates" : "#" + e.dense.rank));
    } else {
      parts.push(el("p", { class: "muted" }, e.semantic_reason || "This document has no embedding."));
    }
    if (e.fused !== null) parts.push(el("p", {}, "Fused score ", el("b", {}, fmt(e.fused))));
    parts.push(el("h3", {}, "Document"), el("p", { class: "text full" }, e.text), metadataChips(e.metadata));
    body.replaceChildren(...parts.filter((p) => p !== null));
  } catch (err) {
    body.replaceChildren(el("p", { class: "error" }, err.message));
  }
}

// --- page state in the address bar ------------------------------------------

function syncURL() {
  const params = new URLSearchParams();
  if ($("q").value) params.set("q", $("q").value);
  if ($("alpha").value !== String(state.info ? state.info.default_alpha : 0.5)) params.set("alpha", $("alpha").value);
  if ($("k").value !== "10") params.set("k", $("k").value);
  if ($("where").value.trim()) params.set("where", $("where").value.trim());
  const query = params.toString();
  history.replaceState(null, "", query ? "?" + query : location.pathname);
}

function restoreFromURL() {
  const params = new URLSearchParams(location.search);
  if (params.has("q")) $("q").value = params.get("q");
  if (params.has("alpha")) $("alpha").value = params.get("alpha");
  if (params.has("k")) $("k").value = params.get("k");
  if (params.has("where")) {
    $("where").value = params.get("where");
    $("filter-box").open = true;
  }
}

function showAlpha() {
  $("alpha-value").textContent = Number($("alpha").value).toFixed(2);
}

async function start() {
  restoreFromURL();
  showAlpha();
  $("q").addEventListener("input", () => schedule(150));
  $("k").addEventListener("input", () => schedule(150));
  $("where").addEventListener("input", () => schedule(300));
  $("alpha").addEventListener("input", () => { showAlpha(); schedule(40); });
  $("search-form").addEventListener("submit", (event) => { event.preventDefault(); schedule(0); });
  try {
    const info = await getJSON("api/info");
    state.info = info;
    $("collection-name").textContent = info.name;
    document.title = "vesk: " + info.name;
    $("collection-info").textContent =
      `${info.documents} documents · ${info.language} · ` +
      (info.semantic ? `semantic search with ${info.embedder || "the collection's embedder"} (${info.dim} dimensions)`
                     : "keyword search only");
    $("k").max = info.max_k;
    if (!info.semantic) {
      document.body.classList.add("keyword-only");
      $("alpha").disabled = true;
      show($("notice"), "Keyword results only: " + info.semantic_reason + ".");
      for (const id of ["col-semantic", "col-hybrid"]) {
        show(document.querySelector(`#${id} .off`), "Not available: " + info.semantic_reason + ".");
      }
    }
  } catch (e) {
    show($("error"), "Cannot reach the server: " + e.message);
  }
  document.body.dataset.ready = "true";
  search();
}

document.addEventListener("DOMContentLoaded", start);
