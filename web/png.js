// A PNG decoder for the page, which hands PNG maps to the library as images in memory (the
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

  if (typeof module === 'object' && module.exports) module.exports = { decodePng };
  else root.decodePng = decodePng;
})(typeof self !== 'undefined' ? self : globalThis);
