// What the MCP tests read from tool results: their text, their JSON, and their PNG pictures.
import assert from 'node:assert/strict';
import zlib from 'node:zlib';

export function textOf(result) {
  return result.content.filter((item) => item.type === 'text').map((item) => item.text).join('\n');
}

// The JSON a tool answered with: its last text item (a note may come first).
export function jsonOf(result) {
  const texts = result.content.filter((item) => item.type === 'text');
  return JSON.parse(texts[texts.length - 1].text);
}

// Decodes a PNG far enough to prove it is one: signature, header chunk, and image data that
// inflates to exactly the rows the header announces.
export function decodePng(bytes) {
  assert.deepEqual([...bytes.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  let at = 8;
  let header;
  const data = [];
  for (;;) {
    const length = bytes.readUInt32BE(at);
    const type = bytes.toString('latin1', at + 4, at + 8);
    const body = bytes.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      assert.equal(at, 8, 'IHDR comes first');
      header = {
        width: body.readUInt32BE(0),
        height: body.readUInt32BE(4),
        depth: body[8],
        colour: body[9],
      };
    } else if (type === 'IDAT') {
      data.push(body);
    }
    at += 12 + length;
    if (type === 'IEND') break;
  }
  assert.ok(header, 'PNG has a header');
  const channels = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 }[header.colour];
  const rowBytes = 1 + Math.ceil((header.width * channels * header.depth) / 8);
  assert.equal(zlib.inflateSync(Buffer.concat(data)).length, header.height * rowBytes);
  return header;
}
