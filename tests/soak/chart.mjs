// soak.svg: memory, threads, handles and CPU of each bridge over time, one panel
// each, with the faults marked on the time axis. Plain SVG text, no library.

const COLOURS = ['#1f77b4', '#d62728', '#2ca02c'];
const FAULT_COLOURS = {
  rotation: '#9467bd', windowRestart: '#d62728', endpointPause: '#ff7f0e', newPort: '#000000',
  delay: '#bcbd22', cut: '#8c564b', toolsListError: '#e377c2', page: '#17becf', quote: '#7f7f7f', listenPause: '#aec7e8',
};
const FAULT_NAMES = {
  rotation: 'token rotation', windowRestart: 'window restart', endpointPause: 'endpoint off', newPort: 'new port',
  delay: 'slow answers', cut: 'cut connection', toolsListError: 'tools/list error', page: 'HTML page', quote: 'token quoted',
  listenPause: 'listener closed',
};

const PANELS = [
  { figure: 'workingSet', title: 'working set (MiB)', scale: 1 / 1048576 },
  { figure: 'threads', title: 'threads', scale: 1 },
  { figure: 'handles', title: 'handles', scale: 1 },
  { figure: 'cpuShare', title: 'CPU (% of one core)', scale: 100 },
];

const escape = (text) => String(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');

// A rounded step for the axis: 1, 2 or 5 times a power of ten.
function niceStep(range, ticks) {
  const raw = range / ticks;
  const power = 10 ** Math.floor(Math.log10(raw || 1));
  return [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw) ?? raw;
}

// bridges: [{ name, samples: [{ t (ms), workingSet, threads, handles, cpuShare }] }];
// faults: [{ t (ms), kind }]; endMs: the time axis's end.
export function drawChart({ bridges, faults, endMs, title }) {
  const width = 1000, left = 70, right = 20, panelHeight = 170, gap = 40, top = 50;
  const plotWidth = width - left - right;
  const legendHeight = 70;
  const height = top + PANELS.length * (panelHeight + gap) + legendHeight;
  const x = (t) => left + (t / Math.max(1, endMs)) * plotWidth;
  const out = [];
  out.push(`<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}" viewBox="0 0 ${width} ${height}" font-family="sans-serif" font-size="12">`);
  out.push(`<rect width="${width}" height="${height}" fill="white"/>`);
  out.push(`<text x="${left}" y="24" font-size="16" font-weight="bold">${escape(title)}</text>`);
  const minuteStep = niceStep(endMs / 60000, 10);
  PANELS.forEach((panel, index) => {
    const y0 = top + index * (panelHeight + gap);
    const values = bridges.flatMap((b) => b.samples.map((s) => s[panel.figure]).filter((v) => typeof v === 'number').map((v) => v * panel.scale));
    const most = Math.max(1, ...values) * 1.1;
    const step = niceStep(most, 4);
    const yMax = Math.ceil(most / step) * step;
    const y = (v) => y0 + panelHeight - (v / yMax) * panelHeight;
    out.push(`<text x="${left}" y="${y0 - 8}" font-weight="bold">${escape(panel.title)}</text>`);
    out.push(`<rect x="${left}" y="${y0}" width="${plotWidth}" height="${panelHeight}" fill="none" stroke="#999"/>`);
    for (let v = 0; v <= yMax + 1e-9; v += step) {
      out.push(`<line x1="${left}" x2="${left + plotWidth}" y1="${y(v).toFixed(1)}" y2="${y(v).toFixed(1)}" stroke="#eee"/>`);
      out.push(`<text x="${left - 6}" y="${(y(v) + 4).toFixed(1)}" text-anchor="end">${+v.toFixed(2)}</text>`);
    }
    for (let m = 0; m * 60000 <= endMs; m += minuteStep) {
      out.push(`<text x="${x(m * 60000).toFixed(1)}" y="${y0 + panelHeight + 14}" text-anchor="middle">${+m.toFixed(2)} min</text>`);
    }
    // The faults, as ticks on the time axis.
    for (const fault of faults) {
      const fx = x(fault.t).toFixed(1);
      out.push(`<line x1="${fx}" x2="${fx}" y1="${y0 + panelHeight - 10}" y2="${y0 + panelHeight}" stroke="${FAULT_COLOURS[fault.kind] ?? '#000'}" stroke-width="2"><title>${escape(FAULT_NAMES[fault.kind] ?? fault.kind)}</title></line>`);
    }
    bridges.forEach((bridge, b) => {
      const points = bridge.samples
        .filter((s) => typeof s[panel.figure] === 'number')
        .map((s) => `${x(s.t).toFixed(1)},${y(s[panel.figure] * panel.scale).toFixed(1)}`);
      if (points.length > 0) {
        out.push(`<polyline fill="none" stroke="${COLOURS[b % COLOURS.length]}" stroke-width="1.8" points="${points.join(' ')}"/>`);
      }
    });
  });
  // Legends: the bridges, then the kinds of fault that happened.
  let ly = top + PANELS.length * (panelHeight + gap) - 10;
  let lx = left;
  bridges.forEach((bridge, b) => {
    out.push(`<line x1="${lx}" x2="${lx + 24}" y1="${ly}" y2="${ly}" stroke="${COLOURS[b % COLOURS.length]}" stroke-width="3"/>`);
    out.push(`<text x="${lx + 30}" y="${ly + 4}">${escape(bridge.name)}</text>`);
    lx += 40 + 8 * bridge.name.length;
  });
  ly += 24;
  lx = left;
  for (const kind of Object.keys(FAULT_COLOURS).filter((k) => faults.some((f) => f.kind === k))) {
    const label = `${FAULT_NAMES[kind]} (${faults.filter((f) => f.kind === kind).length})`;
    if (lx + 30 + 7 * label.length > width - right) {
      lx = left;
      ly += 20;
    }
    out.push(`<line x1="${lx}" x2="${lx}" y1="${ly - 8}" y2="${ly + 4}" stroke="${FAULT_COLOURS[kind]}" stroke-width="3"/>`);
    out.push(`<text x="${lx + 6}" y="${ly + 4}">${escape(label)}</text>`);
    lx += 20 + 7 * label.length;
  }
  out.push('</svg>');
  return out.join('\n') + '\n';
}
