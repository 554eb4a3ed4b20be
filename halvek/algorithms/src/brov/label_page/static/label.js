// brov label: sends label changes to the server and redraws the picture
// (picture.js) with the clusters it answers with.
// Arrays travel as base64 little-endian binary: int32 point indices out,
// int16 class codes (position in the class list, -1 = none) back. Every
// request carries the token of the page's address; the server keeps every
// change (and its undo history) on disk before it answers.
"use strict";

const brov = (() => {
  const canvas = document.getElementById("plot");
  const TOKEN = new URLSearchParams(location.search).get("token") || "";
  const GONE = "the server is gone: start brov label again (every change shown here is kept)";
  const s = {
    n: 0, xy: null, edges: null, classes: [], given: null, clusters: null, cut: null,
    version: -1, tool: 0, busy: 0, view: { scale: 1, ox: 0, oy: 0 }, base: null,
    confidence: null, suggested: [], next: -1, poll: null,
  };
  const { fit, draw, pixel, nearest, inside, jumpToNext, UNLABELLED } = brovPicture(s, canvas);

  // -- wire format ------------------------------------------------------------------------------

  function decode(text, Type) {
    const raw = atob(text);
    const bytes = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return new Type(bytes.buffer);
  }

  function encode(int32) {
    const bytes = new Uint8Array(int32.buffer, int32.byteOffset, int32.byteLength);
    let raw = "";
    for (let i = 0; i < bytes.length; i += 0x8000) {
      raw += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    }
    return btoa(raw);
  }

  // fetch with the token; a failed connection says that the server is gone.
  async function call(path, options = {}) {
    try {
      return await fetch(path, { ...options, headers: { ...options.headers, "X-Brov-Token": TOKEN } });
    } catch (error) {
      throw new Error(GONE);
    }
  }

  async function send(path, body) {
    s.busy++;
    try {
      const response = await call(path, {
        method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
      });
      const answer = await response.json();
      if (!response.ok) throw Object.assign(new Error(answer.error || response.statusText), { answer });
      return answer;
    } finally {
      s.busy--;
    }
  }

  function report(text, isError) {
    const status = document.getElementById("status");
    status.textContent = text;
    status.className = isError ? "error" : "";
  }

  // -- state from the server --------------------------------------------------------------------

  function take(state) {
    if (state.version < s.version) return; // an older answer overtaken by a newer one
    s.version = state.version;
    s.classes = state.classes;
    s.given = decode(state.given, Int16Array);
    s.clusters = decode(state.clusters, Int16Array);
    s.cut = decode(state.cut, Int32Array); // point index pairs
    s.confidence = state.confidence ? decode(state.confidence, Uint8Array) : null;
    s.suggested = state.suggested;
    s.pending = state.pending;
    s.next = -1;
    // The voting trees answer a moment later: ask again until they have.
    clearTimeout(s.poll);
    if (state.pending) s.poll = setTimeout(reload, 300);
    if (typeof s.tool === "number" && s.tool >= s.classes.length) s.tool = s.classes.length - 1;
    document.getElementById("about").textContent =
      `${state.n} points, ${state.dimensions} coordinate(s); shown: ${state.projection}; tree: ${state.tree}.`;
    document.getElementById("outputs").textContent =
      `Writes ${state.outputs.labels} and ${state.outputs.clusters}`;
    listClasses();
    legend();
    showAxes(state.axes);
    for (const [id, what] of [["undo", state.undo], ["redo", state.redo]]) {
      const button = document.getElementById(id);
      button.disabled = !what;
      button.title = what ? `${id} ${what}` : `nothing to ${id}`;
    }
    const heard = state.message ? `${state.message}; ` : "";
    const next = s.suggested.length ? `; key N shows the ${s.suggested.length} points to label next` : "";
    report(`${heard}${s.cut.length / 2} edge(s) cut; showing ${state.answer}` +
      (state.pending ? " (the voting trees are on their way)" : "") + next + (state.saved ? "; saved" : ""));
    draw();
  }

  // What the colours and marks mean, over the picture.
  function legend() {
    const box = document.getElementById("legend");
    box.replaceChildren();
    const line = (text, colour) => {
      const item = document.createElement("div");
      if (colour) {
        const swatch = document.createElement("span");
        swatch.className = "swatch";
        swatch.style.background = colour;
        item.append(swatch);
      }
      item.append(text);
      box.append(item);
    };
    s.classes.slice(0, 12).forEach((entry) => line(entry.name, entry.colour));
    if (s.classes.length > 12) line(`and ${s.classes.length - 12} more classes`);
    line("no cluster yet", `rgb(${UNLABELLED.join(",")})`);
    line("ring: a labelled point");
    if (s.confidence) line("faded: the trees disagree");
    if (s.suggested.length) line("dashed: label next (key N)");
  }

  // Axis pickers, for points with more than two coordinates.
  function showAxes(choices) {
    const box = document.getElementById("axes");
    if (!choices || choices.length <= 2 || s.axesShown) return;
    s.axesShown = true;
    box.hidden = false;
    ["axis-x", "axis-y"].forEach((id, k) => {
      const select = document.getElementById(id);
      choices.forEach((name, value) => select.append(new Option(name, value, k === value, k === value)));
      select.addEventListener("change", changeAxes);
    });
  }

  async function changeAxes() {
    const x = document.getElementById("axis-x").value, y = document.getElementById("axis-y").value;
    try {
      s.xy = new Float32Array(await (await call(`/api/points?x=${x}&y=${y}`)).arrayBuffer());
      fit();
    } catch (error) {
      report(`cannot change the axes: ${error.message}`, true);
    }
  }

  function listClasses() {
    const list = document.getElementById("classes");
    const labelled = new Int32Array(s.classes.length);
    const members = new Int32Array(s.classes.length);
    for (let i = 0; i < s.n; i++) {
      if (s.given[i] >= 0) labelled[s.given[i]]++;
      if (s.clusters[i] >= 0) members[s.clusters[i]]++;
    }
    // Rows are updated in place, so that an answer arriving while a name is
    // being typed neither replaces the field nor undoes the typing.
    s.classes.forEach((entry, code) => {
      let item = list.children[code];
      if (!item) {
        item = row(code);
        list.append(item);
      }
      const [pick, colour, name, count] = item.children;
      pick.checked = s.tool === code;
      if (document.activeElement !== colour) colour.value = entry.colour;
      if (document.activeElement !== name) name.value = entry.name;
      count.textContent = `${labelled[code]} / ${members[code]}`;
    });
    while (list.children.length > s.classes.length) list.lastChild.remove();
    for (const button of list.querySelectorAll("button")) button.disabled = s.classes.length < 2;
    document.getElementById("tool-unlabel").checked = s.tool === "unlabel";
  }

  function row(code) {
    const item = document.createElement("li");
    const pick = document.createElement("input");
    pick.type = "radio"; pick.name = "tool"; pick.value = code;
    pick.title = code < 9 ? `key ${code + 1}` : "";
    pick.addEventListener("change", () => { s.tool = code; });
    const colour = document.createElement("input");
    colour.type = "color";
    colour.addEventListener("change", () =>
      change({ action: "edit_class", id: s.classes[code].id, colour: colour.value }));
    const name = document.createElement("input");
    name.type = "text";
    name.addEventListener("change", () => {
      if (!name.value.trim()) name.value = s.classes[code].name; // a class keeps some name
      else change({ action: "edit_class", id: s.classes[code].id, name: name.value });
    });
    const count = document.createElement("span");
    count.className = "count";
    count.title = "labelled points / points in the cluster";
    const remove = document.createElement("button");
    remove.type = "button"; remove.className = "delete"; remove.textContent = "×";
    remove.title = "delete this class and unlabel its points (Undo brings them back)";
    remove.addEventListener("click", () => change({ action: "delete_class", id: s.classes[code].id }));
    item.append(pick, colour, name, count, remove);
    return item;
  }

  async function change(request) {
    try {
      take(await send("/api/change", request));
    } catch (error) {
      report(`refused: ${error.message}`, true);
      await reload();
    }
  }

  async function reload() {
    try {
      take(await (await call("/api/state")).json());
    } catch (error) {
      report(error.message, true);
    }
  }

  // A lasso labels only unlabelled points unless ``overwrite``; a click always labels its point.
  function label(indices, overwrite = true) {
    if (!indices.length) return Promise.resolve();
    const target = s.tool === "unlabel" ? null : s.classes[s.tool].id;
    return change({ action: "label", class: target, indices: encode(Int32Array.from(indices)), overwrite });
  }

  async function save(overwrite = false) {
    try {
      const answer = await send("/api/save", { overwrite });
      take(answer.state);
      report(`saved ${answer.written.join(" and ")}` + (answer.note ? `; ${answer.note}` : ""));
    } catch (error) {
      if (error.answer && error.answer.confirm && !overwrite && window.confirm(error.answer.confirm)) {
        return save(true);
      }
      report(`not saved: ${error.message}`, true);
    }
    return undefined;
  }


  function canvasPoint(event) {
    const box = canvas.getBoundingClientRect();
    const ratio = canvas.width / box.width;
    return [(event.clientX - box.left) * ratio, (event.clientY - box.top) * ratio];
  }

  let gesture = null;
  canvas.addEventListener("pointerdown", (event) => {
    if (event.button !== 0) return;
    canvas.setPointerCapture(event.pointerId);
    gesture = { pan: event.shiftKey, path: [canvasPoint(event)], view: { ...s.view },
      overwrite: event.ctrlKey || event.altKey || event.metaKey };
  });
  // Under the pointer: the point's row and coordinates, asked of the server.
  let hovering = null;
  canvas.addEventListener("pointermove", (event) => {
    if (gesture || hovering) return;
    hovering = requestAnimationFrame(() => {
      hovering = null;
      const [x, y] = canvasPoint(event);
      const hit = nearest(x, y, 8 * (window.devicePixelRatio || 1));
      const box = document.getElementById("hover");
      if (hit < 0) {
        box.hidden = true;
        s.hover = -1;
        return;
      }
      box.style.left = `${event.offsetX + 14}px`;
      box.style.top = `${event.offsetY + 14}px`;
      if (hit === s.hover) return;
      s.hover = hit;
      call(`/api/row?i=${hit}`).then((response) => response.json()).then((row) => {
        if (s.hover !== row.row) return;
        const cluster = s.clusters[hit] >= 0 ? s.classes[s.clusters[hit]].name : "none yet";
        const sure = s.confidence ? ` (${Math.round(100 * s.confidence[hit] / 255)}% of the trees)` : "";
        box.textContent = `row ${row.row}\n` + row.values.map(([name, value]) => `${name} = ${+value.toPrecision(6)}`).join("\n") +
          `\ncluster: ${cluster}${sure}`;
        box.hidden = false;
      }).catch(() => { box.hidden = true; });
    });
  });
  canvas.addEventListener("pointerleave", () => {
    document.getElementById("hover").hidden = true;
    s.hover = -1;
  });
  canvas.addEventListener("pointermove", (event) => {
    if (!gesture) return;
    const here = canvasPoint(event);
    if (gesture.pan) {
      const [x0, y0] = gesture.path[0];
      s.view = { ...gesture.view, ox: gesture.view.ox + here[0] - x0, oy: gesture.view.oy + here[1] - y0 };
      draw();
    } else {
      gesture.path.push(here);
      draw(gesture.path);
    }
  });
  canvas.addEventListener("pointerup", (event) => {
    if (!gesture) return;
    const { pan, path, overwrite } = gesture;
    gesture = null;
    if (pan) return;
    const [x0, y0] = path[0];
    const far = path.some(([x, y]) => Math.hypot(x - x0, y - y0) > 5);
    if (far && path.length > 2) {
      label(inside(path), overwrite || event.ctrlKey || event.altKey || event.metaKey);
      draw();
    } else {
      const hit = nearest(x0, y0, 12 * (window.devicePixelRatio || 1));
      if (hit >= 0) label([hit]);
    }
  });
  canvas.addEventListener("wheel", (event) => {
    event.preventDefault();
    const [x, y] = canvasPoint(event);
    const factor = Math.exp(-event.deltaY * 0.002);
    s.view = { scale: s.view.scale * factor, ox: x - (x - s.view.ox) * factor, oy: y - (y - s.view.oy) * factor };
    draw();
  }, { passive: false });

  // -- controls ---------------------------------------------------------------------------------

  document.getElementById("add-class").addEventListener("click", async () => {
    await change({ action: "add_class" });
    s.tool = s.classes.length - 1;
    listClasses();
  });
  document.getElementById("tool-unlabel").addEventListener("change", () => { s.tool = "unlabel"; });
  document.getElementById("show-cut").addEventListener("change", () => draw());
  document.getElementById("show-tree").addEventListener("change", () => draw());
  for (const id of ["show-doubt", "point-size", "opacity"]) {
    document.getElementById(id).addEventListener("input", () => draw());
  }
  document.getElementById("reset-view").addEventListener("click", fit);
  document.getElementById("save").addEventListener("click", () => save());
  document.getElementById("undo").addEventListener("click", () => change({ action: "undo" }));
  document.getElementById("redo").addEventListener("click", () => change({ action: "redo" }));
  window.addEventListener("keydown", (event) => {
    const key = event.key.toLowerCase(), command = event.ctrlKey || event.metaKey;
    if (command && key === "s") {
      event.preventDefault();
      save();
      return;
    }
    if (event.target.tagName === "INPUT" && event.target.type === "text") return;
    if (command && (key === "z" || key === "y")) {
      event.preventDefault();
      change({ action: key === "y" || event.shiftKey ? "redo" : "undo" });
      return;
    }
    if (key === "escape" && gesture) {
      gesture = null;
      draw();
      return;
    }
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (key === "n") {
      jumpToNext();
      return;
    }
    if ((key === "[" || key === "]") && s.classes.length) {
      const step = key === "]" ? 1 : -1, at = typeof s.tool === "number" ? s.tool : (step > 0 ? -1 : 0);
      s.tool = (at + step + s.classes.length) % s.classes.length;
      listClasses();
      return;
    }
    if (event.key === "0") s.tool = "unlabel";
    else if (event.key >= "1" && event.key <= "9" && +event.key <= s.classes.length) s.tool = +event.key - 1;
    else return;
    listClasses();
  });
  window.addEventListener("resize", fit);

  const ready = (async () => {
    const [points, edges] = await Promise.all(["/api/points", "/api/edges"].map(
      async (path) => (await call(path)).arrayBuffer()));
    s.xy = new Float32Array(points);
    s.edges = new Int32Array(edges);
    s.n = s.xy.length / 2;
    await reload();
    fit();
  })().catch((error) => report(`cannot load the points: ${error.message}`, true));

  // For scripted use (and the browser test): where a point is drawn, in CSS
  // pixels from the canvas's top-left corner, and the classes on the page.
  return {
    ready,
    state: s,
    screenOf(i) {
      const [x, y] = pixel(i), ratio = canvas.width / canvas.getBoundingClientRect().width;
      return [x / ratio, y / ratio];
    },
    clusterIds() { return Array.from(s.clusters, (c) => (c >= 0 ? s.classes[c].id : -1)); },
    givenIds() { return Array.from(s.given, (c) => (c >= 0 ? s.classes[c].id : -1)); },
    idle() { return s.busy === 0; },
    label,
    change,
    jumpToNext,
    redraw() { draw(); },
  };
})();
window.brov = brov;
