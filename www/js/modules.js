// The installed web modules, as the start page and the other pages list them.
import { ROOT, ajax } from './ajax.js';

const isModuleEntry = (v) => v && typeof v === 'object' && !Array.isArray(v) && ('html' in v || 'css' in v || 'js' in v);

/** Returns [{name, html: [...], css: [...], js: [...], href}] for every installed module. */
export async function installedModules() {
  const reply = await ajax('getListOfInstalledModules');
  // Without a modules folder the reply is {"modules":{}}: no modules.
  const entries = Object.entries(reply ?? {}).filter(([, v]) => isModuleEntry(v));
  return entries.map(([name, files]) => {
    const html = Array.isArray(files.html) ? files.html : [];
    const start = html.find((f) => f.toLowerCase() === 'index.html') ?? html[0];
    return {
      name,
      html,
      css: Array.isArray(files.css) ? files.css : [],
      js: Array.isArray(files.js) ? files.js : [],
      href: start ? `${ROOT}modules/${encodeURIComponent(name)}/${encodeURIComponent(start)}` : null,
    };
  });
}

/** A readable module name: "registers" -> "Registers", "power_meter" -> "Power meter". */
export function moduleTitle(name) {
  const spaced = name.replace(/[_-]+/g, ' ').trim();
  return spaced.charAt(0).toUpperCase() + spaced.slice(1);
}
