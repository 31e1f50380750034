// Writes the package's index.d.ts: the hand-written declarations (index.d.ts.in) with a
// method of Image for every operation of the registry, read from the built package itself, so
// the types say what the module does. Run by the build: node write-types.mjs PACKAGE TEMPLATE
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [packageDir, template] = process.argv.slice(2);
const bmpfun = await import(pathToFileURL(join(packageDir, 'index.js')).href);
const operations = await bmpfun.operations();

const camelCase = (name) => name.replace(/[-_]([a-z0-9])/g, (_, letter) => letter.toUpperCase());
const comment = (text) => text.replace(/\*\//g, '*\\/');

function method(op) {
  const lines = ['  /**', '   * ' + comment(op.summary), '   *'];
  for (const a of op.arguments) {
    const range = a.extent ? 'a ' + a.extent + ' of the image' : 'useful ' + a.low + ' to ' + a.high + ', start ' + a.start;
    const label = a.label === a.name ? '' : comment(a.label) + ' ';
    lines.push('   * @param ' + camelCase(a.name) + ' ' + label + '(' + a.type + '; ' + range + ')');
  }
  if (op.values.length > 0) {
    lines.push('   *   Named values: ' + op.values.map((v) => v.value + ' ' + v.name).join(', ') + '.');
  }
  lines.push(op.makesNewImage ? '   * @returns a new image; this one is left as it was.' : '   * @returns this image, changed in place.');
  lines.push('   * @throws {BmpfunError} when the library refuses (cause, reason, step "' + op.usage + '").');
  lines.push('   */');
  const parameters = op.arguments.map((a) => camelCase(a.name) + ': number').join(', ');
  lines.push('  ' + op.method + '(' + parameters + '): ' + (op.makesNewImage ? 'Image' : 'this') + ';');
  return lines.join('\n');
}

const text = readFileSync(template, 'utf8');
if (!text.includes('  // @operations\n')) throw new Error(template + ': no "// @operations" line');
const methods = '// Operations of the registry (generated).\n' + operations.map(method).join('\n');
const names = '\n/** Every operation\'s name as a chain writes it. */\nexport type OperationName =\n' +
    operations.map((op) => '  | "' + op.name + '"').join('\n') + ';\n';
writeFileSync(join(packageDir, 'index.d.ts'), text.replace('  // @operations\n', '  ' + methods + '\n') + names);
