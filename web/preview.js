// The lit view: a plane or a sphere whose surface normals come from a normal map (tangent
// space, +Y green), under a light the user moves by dragging. A Targa map arrives through
// three.js's TGALoader; a KTX2 texture goes to the GPU in its own layout (BC5, EAC RG11, ASTC,
// ...), so what the view shows is the GPU's own decoding, and readBack gives that decoding back
// as bytes for the flat view.
import * as THREE from 'three';
import { TGALoader } from 'three/addons/loaders/TGALoader.js';
import { KTX2Loader } from 'three/addons/loaders/KTX2Loader.js';
import { read as readKtx2 } from 'three/addons/libs/ktx-parse.module.js';

// How the shaders find a normal in a texel: pickX, pickY and pickZ select the channel that holds
// x, y and z (pickZ all zeros: the texture holds no z, which is rebuilt as a game would);
// signedValues: channels run from -1 to 1, else from 0 to 1.
const decodeChunk = `
  uniform sampler2D normalMap;
  uniform vec4 pickX, pickY, pickZ;
  uniform bool signedValues;
  vec3 storedNormal(vec4 t) {
    vec3 v = vec3(dot(t, pickX), dot(t, pickY), dot(t, pickZ));
    if (!signedValues) v = v * 2.0 - 1.0;
    if (pickZ == vec4(0.0)) v.z = sqrt(max(0.0, 1.0 - dot(v.xy, v.xy)));
    return v;
  }`;
const vertexShader = `
  attribute vec4 tangent;
  varying vec2 vUv;
  varying vec3 vNormal, vTangent, vBitangent, vPosition;
  void main() {
    vUv = uv;
    vNormal = normalize(normalMatrix * normal);
    vTangent = normalize(normalMatrix * tangent.xyz);
    vBitangent = cross(vNormal, vTangent) * tangent.w;
    vec4 p = modelViewMatrix * vec4(position, 1.0);
    vPosition = p.xyz;
    gl_Position = projectionMatrix * p;
  }`;
// topFirst: the texture's first row is the top of the picture (KTX2; a Targa texture is turned
// on upload, which compressed textures cannot be).
const fragmentShader = decodeChunk + `
  uniform bool topFirst;
  uniform vec3 lightDirection;
  varying vec2 vUv;
  varying vec3 vNormal, vTangent, vBitangent, vPosition;
  void main() {
    vec3 n = storedNormal(texture2D(normalMap, topFirst ? vec2(vUv.x, 1.0 - vUv.y) : vUv));
    vec3 N = normalize(mat3(normalize(vTangent), normalize(vBitangent), normalize(vNormal)) * n);
    vec3 L = normalize(lightDirection), V = normalize(-vPosition), H = normalize(L + V);
    float diffuse = max(dot(N, L), 0.0), specular = pow(max(dot(N, H), 0.0), 48.0) * 0.35;
    gl_FragColor = vec4(vec3(0.04) + vec3(0.82, 0.8, 0.76) * diffuse + vec3(specular), 1.0);
  }`;
// Texel (x, y) of level 0 unfiltered, as the unit normal a shader makes of it (x and y a little
// past the unit circle, as a lossy layout may store them at the horizon, give z 0 and are
// scaled back; the library reads them so too), (c + 1) / 2 of each component.
const readBackShader = decodeChunk + `
  void main() {
    vec3 n = storedNormal(texelFetch(normalMap, ivec2(gl_FragCoord.xy), 0));
    float l = length(n);
    gl_FragColor = vec4((l > 0.0 ? n / l : n) * 0.5 + 0.5, 1.0);
  }`;

// The layouts of KTX2 normal maps the view takes, by Vulkan format: the WebGL2 extension the GPU
// needs for it (none: core WebGL2), whether it stores z, and, where three.js's KTX2 loader has no
// mapping for the format (0.187 maps ASTC 4x4 and 6x6 only, no 16-bit normalised or 10-bit
// packed layout), how this file makes the texture itself.
const LAYOUTS = {
  37: { name: 'rgba8', z: true },
  64: { name: 'rgb10a2', z: true, make: packedTexture },
  78: { name: 'rg16s', extension: 'EXT_texture_norm16', make: norm16Texture(THREE.RGFormat) },
  92: { name: 'rgba16s', extension: 'EXT_texture_norm16', z: true, make: norm16Texture(THREE.RGBAFormat) },
  137: { name: 'BC3 (bc3n)', extension: 'WEBGL_compressed_texture_s3tc' },
  141: { name: 'BC5', extension: 'EXT_texture_compression_rgtc' },
  142: { name: 'BC5 signed', extension: 'EXT_texture_compression_rgtc' },
  155: { name: 'EAC RG11', extension: 'WEBGL_compressed_texture_etc' },
  156: { name: 'EAC RG11 signed', extension: 'WEBGL_compressed_texture_etc' },
  157: { name: 'ASTC 4x4', extension: 'WEBGL_compressed_texture_astc' },
  161: { name: 'ASTC 5x5', extension: 'WEBGL_compressed_texture_astc', make: astcTexture(THREE.RGBA_ASTC_5x5_Format) },
  165: { name: 'ASTC 6x6', extension: 'WEBGL_compressed_texture_astc' },
  171: { name: 'ASTC 8x8', extension: 'WEBGL_compressed_texture_astc', make: astcTexture(THREE.RGBA_ASTC_8x8_Format) },
};

// The levels of a parsed KTX2 file, largest first, with their sizes.
function levelsOf(container) {
  return container.levels.map((level, i) => ({ data: level.levelData, width: Math.max(1, container.pixelWidth >> i),
                                               height: Math.max(1, container.pixelHeight >> i) }));
}

// A texture of the file's levels, filtered as the loader filters its own, ready to upload.
function filtersFor(texture, levelCount) {
  texture.minFilter = levelCount > 1 ? THREE.LinearMipmapLinearFilter : THREE.LinearFilter;
  texture.magFilter = THREE.LinearFilter;
  texture.generateMipmaps = false;
  texture.needsUpdate = true;
  return texture;
}

// ASTC blocks of a size the loader does not map, handed to WebGL2 as they are.
function astcTexture(format) {
  return (container) => filtersFor(new THREE.CompressedTexture(levelsOf(container), container.pixelWidth,
                                                               container.pixelHeight, format, THREE.UnsignedByteType),
                                   container.levels.length);
}

// Signed 16-bit values, which WebGL2 samples as -1 to 1 with EXT_texture_norm16.
function norm16Texture(format) {
  return (container) => {
    const levels = levelsOf(container).map((level) => Object.assign(level, { data: new Int16Array(level.data.slice().buffer) }));
    const texture = new THREE.DataTexture(levels[0].data, levels[0].width, levels[0].height, format, THREE.ShortType);
    texture.mipmaps = levels.length > 1 ? levels : [];
    texture.normalized = true;
    return filtersFor(texture, levels.length);
  };
}

// 10-bit x, y, z and 2-bit alpha in a 32-bit word, which three.js has no texel type for: the
// texture is made on the renderer's context (core WebGL2's RGB10_A2) and handed to three.js.
function packedTexture(container, renderer) {
  const gl = renderer.getContext();
  const handle = gl.createTexture();
  gl.bindTexture(gl.TEXTURE_2D, handle);
  gl.pixelStorei(gl.UNPACK_FLIP_Y_WEBGL, false);
  gl.pixelStorei(gl.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
  gl.pixelStorei(gl.UNPACK_ALIGNMENT, 4);
  const levels = levelsOf(container);
  levels.forEach((level, i) => gl.texImage2D(gl.TEXTURE_2D, i, gl.RGB10_A2, level.width, level.height, 0, gl.RGBA,
                                             gl.UNSIGNED_INT_2_10_10_10_REV, new Uint32Array(level.data.slice().buffer)));
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAX_LEVEL, levels.length - 1);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, levels.length > 1 ? gl.LINEAR_MIPMAP_LINEAR : gl.LINEAR);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.LINEAR);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.REPEAT);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.REPEAT);
  renderer.resetState();  // three.js's record of the bound texture and unpack settings no longer holds
  const texture = new THREE.ExternalTexture(handle);
  texture.addEventListener('dispose', () => gl.deleteTexture(handle));
  return texture;
}

// The uniforms that tell a shader how `decode` ({ swizzle: sources of x, y, z among r, g, b, a,
// '0' for none; signed; topFirst }) finds the normal in `texture`.
function setDecode(uniforms, texture, decode) {
  const pick = (channel) => {
    const v = new THREE.Vector4(0, 0, 0, 0);
    const i = 'rgba'.indexOf(channel);
    return i >= 0 ? v.setComponent(i, 1) : v;
  };
  uniforms.normalMap.value = texture;
  uniforms.pickX.value = pick(decode.swizzle[0]);
  uniforms.pickY.value = pick(decode.swizzle[1]);
  uniforms.pickZ.value = pick(decode.swizzle[2]);
  uniforms.signedValues.value = Boolean(decode.signed);
  if (uniforms.topFirst) uniforms.topFirst.value = Boolean(decode.topFirst);
}

const decodeUniforms = () => ({ normalMap: { value: null }, pickX: { value: null }, pickY: { value: null },
                                pickZ: { value: null }, signedValues: { value: false } });

// A Targa texture: x, y, z in red, green and blue, 0 to 1.
export const TARGA_DECODE = { swizzle: 'rgb', signed: false, topFirst: false };

export class LitView {
  constructor(canvas) {
    this.renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
    this.renderer.setPixelRatio(1);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(35, canvas.width / canvas.height, 0.1, 10);
    this.camera.position.set(0, 0, 3.2);
    this.material = new THREE.ShaderMaterial({
      vertexShader, fragmentShader,
      uniforms: Object.assign(decodeUniforms(), { topFirst: { value: false },
                                                  lightDirection: { value: new THREE.Vector3(0.5, 0.5, 0.7) } }),
    });
    const plane = new THREE.PlaneGeometry(1.8, 1.8);
    const sphere = new THREE.SphereGeometry(0.9, 96, 64);
    for (const geometry of [plane, sphere]) geometry.computeTangents();
    this.meshes = { plane: new THREE.Mesh(plane, this.material), sphere: new THREE.Mesh(sphere, this.material) };
    this.shape = 'plane';
    this.scene.add(this.meshes.plane);
    // Files with a Vulkan format go straight to a texture: the loader fetches its Basis
    // transcoder only for Basis Universal files, which the view refuses.
    this.ktx2 = new KTX2Loader().detectSupport(this.renderer);
    // The read-back pass: one triangle pair over the whole target.
    this.readMaterial = new THREE.ShaderMaterial({
      vertexShader: 'void main() { gl_Position = vec4(position.xy, 0.0, 1.0); }',
      fragmentShader: readBackShader, uniforms: decodeUniforms(), depthTest: false, depthWrite: false,
    });
    const quad = new THREE.Mesh(new THREE.PlaneGeometry(2, 2), this.readMaterial);
    quad.frustumCulled = false;
    this.readScene = new THREE.Scene().add(quad);
    this.bindLight(canvas);
    this.render();
  }

  // Dragging on the canvas points the light at the pointer, in front of the surface.
  bindLight(canvas) {
    const move = (event) => {
      const box = canvas.getBoundingClientRect();
      const x = ((event.clientX - box.left) / box.width) * 2 - 1, y = 1 - ((event.clientY - box.top) / box.height) * 2;
      this.setLight(x, y);
    };
    canvas.addEventListener('pointerdown', (event) => { canvas.setPointerCapture(event.pointerId); move(event); });
    canvas.addEventListener('pointermove', (event) => { if (event.buttons) move(event); });
  }

  setLight(x, y) {
    this.material.uniforms.lightDirection.value.set(x, y, Math.sqrt(Math.max(0.05, 1 - x * x - y * y)));
    this.render();
  }

  setShape(shape) {
    this.scene.remove(this.meshes[this.shape]);
    this.shape = shape;
    this.scene.add(this.meshes[shape]);
    this.render();
  }

  // Shows `texture`, whose normals `decode` finds (TARGA_DECODE, or a KTX2 texture's decode).
  show(texture, decode) {
    const old = this.material.uniforms.normalMap.value;
    if (old && old !== texture) old.dispose();
    texture.wrapS = texture.wrapT = THREE.RepeatWrapping;
    texture.colorSpace = THREE.NoColorSpace;
    setDecode(this.material.uniforms, texture, decode);
    this.render();
  }

  // Shows nothing: the view is cleared to black until the next show().
  clear() {
    const old = this.material.uniforms.normalMap.value;
    if (old) old.dispose();
    this.material.uniforms.normalMap.value = null;
    this.renderer.clear();
  }

  render() {
    if (this.material.uniforms.normalMap.value) this.renderer.render(this.scene, this.camera);
  }

  // A KTX2 file as the GPU takes it: { texture, decode, width, height, levelCount, layout }. Throws
  // an Error that says why when the file is no normal map layout the view knows or the GPU lacks
  // the extension that layout needs (the texture would show as black or garbage, not as the
  // file's normals).
  async ktx2Texture(bytes) {
    const container = readKtx2(bytes);
    if (container.vkFormat === 0) throw new Error('a Basis Universal file, which this view does not transcode');
    const layout = LAYOUTS[container.vkFormat];
    if (!layout) throw new Error(`Vulkan format ${container.vkFormat} is not a normal map layout this view knows`);
    if (container.pixelDepth > 0 || container.layerCount > 0 || container.faceCount !== 1 || container.pixelHeight === 0)
      throw new Error('not a plain 2D texture');
    if (layout.extension && !this.renderer.extensions.has(layout.extension))
      throw new Error(`this GPU has no ${layout.extension}, so it cannot decode ${layout.name}`);
    if (layout.make && container.supercompressionScheme !== 0) throw new Error(`a supercompressed ${layout.name} file`);
    const texture = layout.make ? layout.make(container, this.renderer)
      : await new Promise((resolve, reject) => this.ktx2.parse(bytes.slice().buffer, resolve, reject));
    // KTXswizzle says where x and y are (ASTC's normal mode keeps y in alpha, BC3n x in alpha).
    const swizzle = (container.keyValue.KTXswizzle || 'rgba').slice(0, 3);
    const signed = container.dataFormatDescriptor[0].samples.some((sample) => (sample.channelType & 0x40) !== 0);
    return {
      texture, width: container.pixelWidth, height: container.pixelHeight, levelCount: container.levels.length,
      layout: layout.name, decode: { swizzle: swizzle.slice(0, 2) + (layout.z ? swizzle[2] : '0'), signed, topFirst: true },
    };
  }

  // Level 0 of `texture` as the GPU samples it, unfiltered: the unit normal of each texel (z
  // rebuilt where the texture holds none) as 8-bit values of (c + 1) / 2, then 255, four bytes a
  // texel, rows in the texture's order (top row first for a KTX2 texture).
  readBack(texture, decode, width, height) {
    const target = new THREE.WebGLRenderTarget(width, height, { depthBuffer: false });
    setDecode(this.readMaterial.uniforms, texture, decode);
    const rgba = new Uint8Array(width * height * 4);
    try {
      this.renderer.setRenderTarget(target);
      this.renderer.render(this.readScene, this.camera);
      this.renderer.readRenderTargetPixels(target, 0, 0, width, height, rgba);
    } finally {
      this.renderer.setRenderTarget(null);
      target.dispose();
    }
    return rgba;
  }
}

// A Targa file's texels as RGBA bytes, top row first, and as a texture.
export function decodeTarga(bytes) {
  const parsed = new TGALoader().parse(bytes.slice().buffer);
  const texture = new THREE.DataTexture(parsed.data, parsed.width, parsed.height, THREE.RGBAFormat);
  texture.flipY = parsed.flipY;
  texture.generateMipmaps = true;
  texture.minFilter = THREE.LinearMipmapLinearFilter;
  texture.needsUpdate = true;
  return { width: parsed.width, height: parsed.height, rgba: parsed.data, flipY: parsed.flipY, texture };
}
