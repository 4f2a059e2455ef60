// The lit view: a plane or a sphere whose surface normals come from a normal map (tangent
// space, +Y green), under a light the user moves by dragging. A Targa map arrives through
// three.js's TGALoader, a KTX2 BC5 one through its KTX2Loader as the GPU gets it (two channels,
// z rebuilt in the shader, as a game would).
import * as THREE from 'three';
import { TGALoader } from 'three/addons/loaders/TGALoader.js';
import { KTX2Loader } from 'three/addons/loaders/KTX2Loader.js';

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
const fragmentShader = `
  uniform sampler2D normalMap;
  uniform bool twoChannels;
  uniform vec3 lightDirection;
  varying vec2 vUv;
  varying vec3 vNormal, vTangent, vBitangent, vPosition;
  void main() {
    vec3 t = texture2D(normalMap, vUv).xyz * 2.0 - 1.0;
    vec3 n = twoChannels ? vec3(t.xy, sqrt(max(0.0, 1.0 - dot(t.xy, t.xy)))) : normalize(t);
    vec3 N = normalize(mat3(normalize(vTangent), normalize(vBitangent), normalize(vNormal)) * n);
    vec3 L = normalize(lightDirection), V = normalize(-vPosition), H = normalize(L + V);
    float diffuse = max(dot(N, L), 0.0), specular = pow(max(dot(N, H), 0.0), 48.0) * 0.35;
    gl_FragColor = vec4(vec3(0.04) + vec3(0.82, 0.8, 0.76) * diffuse + vec3(specular), 1.0);
  }`;

export class LitView {
  constructor(canvas) {
    this.renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
    this.renderer.setPixelRatio(1);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(35, canvas.width / canvas.height, 0.1, 10);
    this.camera.position.set(0, 0, 3.2);
    this.material = new THREE.ShaderMaterial({
      vertexShader, fragmentShader,
      uniforms: { normalMap: { value: null }, twoChannels: { value: false }, lightDirection: { value: new THREE.Vector3(0.5, 0.5, 0.7) } },
    });
    const plane = new THREE.PlaneGeometry(1.8, 1.8);
    const sphere = new THREE.SphereGeometry(0.9, 96, 64);
    for (const geometry of [plane, sphere]) geometry.computeTangents();
    this.meshes = { plane: new THREE.Mesh(plane, this.material), sphere: new THREE.Mesh(sphere, this.material) };
    this.shape = 'plane';
    this.scene.add(this.meshes.plane);
    this.ktx2 = new KTX2Loader().setTranscoderPath('three/examples/jsm/libs/basis/').detectSupport(this.renderer);
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

  show(texture, twoChannels) {
    const old = this.material.uniforms.normalMap.value;
    if (old && old !== texture) old.dispose();
    texture.wrapS = texture.wrapT = THREE.RepeatWrapping;
    texture.colorSpace = THREE.NoColorSpace;
    this.material.uniforms.normalMap.value = texture;
    this.material.uniforms.twoChannels.value = twoChannels;
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

  // A KTX2 file's texture as the GPU takes it (BC5 where the GPU has RGTC compression).
  ktx2Texture(bytes) {
    return new Promise((resolve, reject) => this.ktx2.parse(bytes.slice().buffer, resolve, reject));
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
