// brov label's picture: the points on a canvas, coloured by cluster and faded
// by doubt, labelled points as rings, cut edges, the points to label next;
// and which points lie under the pointer or inside a lasso. The page
// (label.js) owns the state ``s`` and redraws through what this returns.
"use strict";

function brovPicture(s, canvas) {
  const context = canvas.getContext("2d");
  const dark = window.matchMedia && window.matchMedia("(prefers-color-scheme: dark)").matches;
  // Colours of the picture: background, points without a cluster, and lines drawn over it.
  const BACKGROUND = dark ? [24, 24, 24] : [255, 255, 255];
  const UNLABELLED = dark ? [110, 110, 110] : [190, 190, 190];
  const INK = dark ? [235, 235, 235] : [0, 0, 0], INK_CSS = dark ? "#ebebeb" : "#000";

  function rgb(hex) {
    return [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
  }

  function fit() {
    const ratio = window.devicePixelRatio || 1;
    canvas.width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    canvas.height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    let [x0, x1, y0, y1] = [Infinity, -Infinity, Infinity, -Infinity];
    for (let i = 0; i < s.n; i++) {
      const x = s.xy[2 * i], y = s.xy[2 * i + 1];
      if (x < x0) x0 = x; if (x > x1) x1 = x; if (y < y0) y0 = y; if (y > y1) y1 = y;
    }
    const margin = 20 * ratio;
    const w = Math.max(x1 - x0, 1e-12), h = Math.max(y1 - y0, 1e-12);
    const scale = Math.min((canvas.width - 2 * margin) / w, (canvas.height - 2 * margin) / h);
    s.view = {
      scale,
      ox: canvas.width / 2 - scale * (x0 + x1) / 2,
      oy: canvas.height / 2 + scale * (y0 + y1) / 2,
    };
    draw();
  }

  // Canvas pixel of point i.
  function pixel(i) {
    return [s.view.ox + s.view.scale * s.xy[2 * i], s.view.oy - s.view.scale * s.xy[2 * i + 1]];
  }

  // How strongly a point is drawn: the opacity control, and a doubtful point
  // (few trees agree on its cluster) faded towards the background.
  function strength(i, opacity, doubt) {
    if (!doubt) return opacity;
    return opacity * (0.2 + 0.8 * Math.min(1, Math.max(0, (doubt[i] / 255 - 0.5) / 0.5)));
  }

  // The pixel word (little-endian RGBA) of colour c drawn with strength k over the background.
  function mix(c, k) {
    const [r0, g0, b0] = BACKGROUND;
    const r = Math.round(r0 + k * (c[0] - r0)), g = Math.round(g0 + k * (c[1] - g0));
    const b = Math.round(b0 + k * (c[2] - b0));
    return ((255 << 24) | (b << 16) | (g << 8) | r) >>> 0;
  }

  function pointSize() {
    return Math.max(1, Math.round(+document.getElementById("point-size").value * (window.devicePixelRatio || 1)));
  }

  function draw(lasso) {
    if (!s.given) return;
    const { width, height } = canvas;
    const image = context.createImageData(width, height);
    const pixels = new Uint32Array(image.data.buffer); // one RGBA word per pixel
    pixels.fill(mix(BACKGROUND, 1));
    const colours = s.classes.map((entry) => rgb(entry.colour));
    const size = pointSize();
    const opacity = +document.getElementById("opacity").value / 100;
    const doubt = document.getElementById("show-doubt").checked ? s.confidence : null;
    const words = colours.map((c) => mix(c, opacity)), grey = mix(UNLABELLED, opacity);
    const { ox, oy, scale } = s.view, xy = s.xy, half = size >> 1, clusters = s.clusters;
    for (let i = 0; i < s.n; i++) {
      const x = Math.round(ox + scale * xy[2 * i]) - half, y = Math.round(oy - scale * xy[2 * i + 1]) - half;
      if (x < 0 || y < 0 || x + size > width || y + size > height) continue;
      const code = clusters[i];
      let word = code >= 0 ? words[code] : grey;
      if (doubt && doubt[i] < 255) word = mix(code >= 0 ? colours[code] : UNLABELLED, strength(i, opacity, doubt));
      for (let dy = 0, at = y * width + x; dy < size; dy++, at += width) {
        for (let dx = 0; dx < size; dx++) pixels[at + dx] = word;
      }
    }
    drawLabelled(pixels, Math.max(3, size), colours);
    context.putImageData(image, 0, 0);
    if (document.getElementById("show-tree").checked) {
      drawEdges(s.edges, dark ? "rgba(255,255,255,0.2)" : "rgba(0,0,0,0.15)", [], 1);
    }
    if (document.getElementById("show-cut").checked) {
      drawEdges(s.cut, INK_CSS, [6, 4], 1.5 * (window.devicePixelRatio || 1));
    }
    drawSuggested(Math.max(3, size));
    if (lasso && lasso.length > 1) {
      context.beginPath();
      context.moveTo(lasso[0][0], lasso[0][1]);
      for (const [x, y] of lasso) context.lineTo(x, y);
      context.closePath();
      context.setLineDash([4, 4]);
      context.strokeStyle = INK_CSS;
      context.lineWidth = 1;
      context.stroke();
      context.setLineDash([]);
    }
  }

  // Pixel offsets of a ring of radius ``radius``: its inner, coloured band and its black rim.
  const rings = new Map();
  function ring(radius) {
    if (!rings.has(radius)) {
      const band = [], rim = [];
      for (let dy = -radius - 2; dy <= radius + 2; dy++) {
        for (let dx = -radius - 2; dx <= radius + 2; dx++) {
          const d = Math.hypot(dx, dy);
          if (d >= radius - 1.5 && d < radius + 0.5) band.push(dx, dy);
          else if (d >= radius + 0.5 && d < radius + 1.5) rim.push(dx, dy);
        }
      }
      rings.set(radius, { band, rim });
    }
    return rings.get(radius);
  }

  // Labelled points are rings in their class's colour, drawn into the image
  // pixel by pixel (a 30,000-point lasso stays quick to draw), hollow so that
  // the points under them stay visible.
  function drawLabelled(pixels, size, colours) {
    const { ox, oy, scale } = s.view, xy = s.xy, { width, height } = canvas;
    const { band, rim } = ring(2 * size);
    const ink = mix(INK, 1), words = colours.map((c) => mix(c, 1));
    const put = (x, y, offsets, word) => {
      for (let k = 0; k < offsets.length; k += 2) {
        const px = x + offsets[k], py = y + offsets[k + 1];
        if (px >= 0 && py >= 0 && px < width && py < height) pixels[py * width + px] = word;
      }
    };
    for (let i = 0; i < s.n; i++) {
      if (s.given[i] < 0) continue;
      const x = Math.round(ox + scale * xy[2 * i]), y = Math.round(oy - scale * xy[2 * i + 1]);
      if (x < -3 * size || y < -3 * size || x > width + 3 * size || y > height + 3 * size) continue;
      put(x, y, rim, ink);
      put(x, y, band, words[s.given[i]]);
    }
  }

  // The points whose label would help most, numbered; the one key N went to is larger.
  function drawSuggested(size) {
    context.font = `${Math.round(4 * size)}px system-ui, sans-serif`;
    s.suggested.forEach((i, k) => {
      const [x, y] = pixel(i);
      context.beginPath();
      context.arc(x, y, (k === s.next ? 5 : 3) * size, 0, 2 * Math.PI);
      context.setLineDash([3, 3]);
      context.lineWidth = 2;
      context.strokeStyle = INK_CSS;
      context.stroke();
      context.setLineDash([]);
      context.fillStyle = INK_CSS;
      context.fillText(String(k + 1), x + 3 * size, y - 3 * size);
    });
  }

  function drawEdges(pairs, style, dash, width) {
    const { ox, oy, scale } = s.view, xy = s.xy;
    context.beginPath();
    for (let k = 0; k < pairs.length; k += 2) {
      const a = pairs[k], b = pairs[k + 1];
      context.moveTo(ox + scale * xy[2 * a], oy - scale * xy[2 * a + 1]);
      context.lineTo(ox + scale * xy[2 * b], oy - scale * xy[2 * b + 1]);
    }
    context.setLineDash(dash);
    context.strokeStyle = style;
    context.lineWidth = width;
    context.stroke();
    context.setLineDash([]);
  }

  // Centre the view on the next suggested point.
  function jumpToNext() {
    if (!s.suggested.length) return;
    s.next = (s.next + 1) % s.suggested.length;
    const i = s.suggested[s.next];
    s.view = { ...s.view, ox: canvas.width / 2 - s.view.scale * s.xy[2 * i],
      oy: canvas.height / 2 + s.view.scale * s.xy[2 * i + 1] };
    draw();
  }

  // -- picking ----------------------------------------------------------------------------------

  function nearest(px, py, radius) {
    let best = -1, bestDistance = radius * radius;
    const { ox, oy, scale } = s.view, xy = s.xy;
    for (let i = 0; i < s.n; i++) {
      const x = ox + scale * xy[2 * i], y = oy - scale * xy[2 * i + 1];
      const d = (x - px) * (x - px) + (y - py) * (y - py);
      if (d <= bestDistance) { best = i; bestDistance = d; }
    }
    return best;
  }

  function inside(polygon) {
    let [x0, x1, y0, y1] = [Infinity, -Infinity, Infinity, -Infinity];
    for (const [x, y] of polygon) {
      x0 = Math.min(x0, x); x1 = Math.max(x1, x); y0 = Math.min(y0, y); y1 = Math.max(y1, y);
    }
    const found = [];
    const { ox, oy, scale } = s.view, xy = s.xy;
    for (let i = 0; i < s.n; i++) {
      const x = ox + scale * xy[2 * i], y = oy - scale * xy[2 * i + 1];
      if (x < x0 || x > x1 || y < y0 || y > y1) continue;
      let odd = false;
      for (let a = 0, b = polygon.length - 1; a < polygon.length; b = a++) {
        const [ax, ay] = polygon[a], [bx, by] = polygon[b];
        if ((ay > y) !== (by > y) && x < ax + (y - ay) * (bx - ax) / (by - ay)) odd = !odd;
      }
      if (odd) found.push(i);
    }
    return found;
  }

  return { fit, draw, pixel, nearest, inside, jumpToNext, UNLABELLED };
}
