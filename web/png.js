// A PNG decoder and encoder for the page, which hands PNG maps to the library as images in memory (the
// WebAssembly module has no PNG reader): 8- and 16-bit grey, grey and alpha, RGB, RGBA and
// 8-bit palette files, not interlaced. Inflating is the browser's (DecompressionStream).
// decodePng(bytes) -> { texels, width, height, channels } with rows top first, colour in red,
// green, blue order, 16-bit samples as the machine's numbers (a Uint16Array).
(function (root) {
  'use strict';

  const SIGNATURE = [137, 80, 78, 71, 13, 10, 26, 10];
  const CHANNELS = { 0: 1, 2: 3, 3: 3, 4: 2, 6: 4 };

  async function inflate(data) {
    const stream = new Blob([data]).stream().pipeThrough(new DecompressionStream('deflate'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  function paeth(a, b, c) {
    const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
  }

  async function decodePng(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    if (bytes.length < 8 || SIGNATURE.some((v, i) => bytes[i] !== v)) throw new Error('not a PNG file');
    let header = null, palette = null, transparency = null;
    const idat = [];
    for (let at = 8; ;) {
      if (at + 12 > bytes.length) throw new Error('the file ends before its IEND chunk');
      const length = view.getUint32(at);
      const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
      if (at + 12 + length > bytes.length) throw new Error(`the ${type} chunk runs past the end of the file`);
      const data = bytes.subarray(at + 8, at + 8 + length);
      if (type === 'IHDR') {
        header = { width: view.getUint32(at + 8), height: view.getUint32(at + 12), bits: data[8], colour: data[9], interlace: data[12] };
      } else if (type === 'PLTE') palette = data;
      else if (type === 'tRNS') transparency = data;
      else if (type === 'IDAT') idat.push(data);
      else if (type === 'IEND') break;
      at += 12 + length;
    }
    if (!header) throw new Error('no IHDR chunk');
    const { width, height, bits, colour } = header;
    const stored = CHANNELS[colour];
    if (!stored || !(bits === 8 || (bits === 16 && colour !== 3))) throw new Error(`${bits}-bit colour type ${colour} is not read by the page`);
    if (header.interlace) throw new Error('interlaced PNG files are not read by the page');
    if (!width || !height || width > 65535 || height > 65535) throw new Error(`a picture of ${width} x ${height} texels`);
    const samples = colour === 3 ? 1 : stored;
    const texelBytes = samples * bits / 8, rowBytes = width * texelBytes;
    const raw = await inflate(new Uint8Array(await new Blob(idat).arrayBuffer()));
    if (raw.length < (rowBytes + 1) * height) throw new Error('the image data is shorter than the picture');

    // Undo the row filters in place, row by row.
    const rows = new Uint8Array(rowBytes * height);
    for (let y = 0; y < height; ++y) {
      const filter = raw[y * (rowBytes + 1)], src = y * (rowBytes + 1) + 1, dst = y * rowBytes;
      for (let x = 0; x < rowBytes; ++x) {
        const a = x >= texelBytes ? rows[dst + x - texelBytes] : 0;
        const b = y > 0 ? rows[dst - rowBytes + x] : 0;
        const c = x >= texelBytes && y > 0 ? rows[dst - rowBytes + x - texelBytes] : 0;
        const v = raw[src + x];
        rows[dst + x] = filter === 0 ? v : filter === 1 ? v + a : filter === 2 ? v + b
                      : filter === 3 ? v + ((a + b) >> 1) : filter === 4 ? v + paeth(a, b, c) : -1;
        if (filter > 4) throw new Error(`unknown row filter ${filter}`);
      }
    }
    if (colour === 3) {
      if (!palette) throw new Error('a palette file without a PLTE chunk');
      const channels = transparency ? 4 : 3, texels = new Uint8Array(width * height * channels);
      for (let i = 0; i < width * height; ++i) {
        const index = rows[i];
        if (index * 3 + 2 >= palette.length) throw new Error('a texel names a colour the palette lacks');
        texels.set(palette.subarray(index * 3, index * 3 + 3), i * channels);
        if (transparency) texels[i * channels + 3] = index < transparency.length ? transparency[index] : 255;
      }
      return { texels, width, height, channels };
    }
    if (bits === 8) return { texels: rows, width, height, channels: stored };
    const texels = new Uint16Array(rows.length / 2);
    for (let i = 0; i < texels.length; ++i) texels[i] = (rows[i * 2] << 8) | rows[i * 2 + 1];
    return { texels, width, height, channels: stored };
  }

  const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });

  function crc32(bytes) {
    let c = 0xffffffff;
    for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  }

  // A PNG file of an RGB picture, rows top first: 8-bit values (a Uint8Array) or 16-bit ones (a
  // Uint16Array, the machine's numbers), no row filter, deflated by the browser
  // (CompressionStream).
  async function encodePng(texels, width, height) {
    const bits = texels instanceof Uint16Array ? 16 : 8;
    const rowValues = width * 3, rowBytes = rowValues * (bits / 8);
    const raw = new Uint8Array((rowBytes + 1) * height);
    for (let y = 0; y < height; ++y) {
      const at = y * (rowBytes + 1) + 1;
      if (bits === 8) {
        raw.set(texels.subarray(y * rowValues, (y + 1) * rowValues), at);
      } else {
        for (let i = 0; i < rowValues; ++i) {
          const v = texels[y * rowValues + i];
          raw[at + 2 * i] = v >> 8;
          raw[at + 2 * i + 1] = v & 0xff;
        }
      }
    }
    const stream = new Blob([raw]).stream().pipeThrough(new CompressionStream('deflate'));
    const data = new Uint8Array(await new Response(stream).arrayBuffer());
    const header = new Uint8Array(13);
    const view = new DataView(header.buffer);
    view.setUint32(0, width);
    view.setUint32(4, height);
    header.set([bits, 2, 0, 0, 0], 8);  // RGB, deflate, no filter method but the first, not interlaced
    const chunks = [['IHDR', header], ['IDAT', data], ['IEND', new Uint8Array(0)]].map(([type, body]) => {
      const chunk = new Uint8Array(body.length + 12);
      const chunkView = new DataView(chunk.buffer);
      chunkView.setUint32(0, body.length);
      chunk.set(Array.from(type, (c) => c.charCodeAt(0)), 4);
      chunk.set(body, 8);
      chunkView.setUint32(body.length + 8, crc32(chunk.subarray(4, body.length + 8)));
      return chunk;
    });
    return new Uint8Array(await new Blob([new Uint8Array(SIGNATURE), ...chunks]).arrayBuffer());
  }

  if (typeof module === 'object' && module.exports) module.exports = { decodePng, encodePng };
  else Object.assign(root, { decodePng, encodePng });
})(typeof self !== 'undefined' ? self : globalThis);
