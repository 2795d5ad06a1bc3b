// File: gnuspeech_render.mjs -- renders a batch of clips with the GnuSpeech articulatory
// synthesiser (its WebAssembly build from npm), one Node process for many clips, since
// loading the module and its dictionary is most of the cost of a short clip.
//
// Usage: node gnuspeech_render.mjs NODE_MODULES_DIR < jobs.json
// jobs.json is a list of {text, out, tempo, pitch_offset, voice: {vocal_tract_length,
// reference_glottal_pitch, breathiness, glottal_pulse_tp, glottal_pulse_tn}}; every clip is
// written to its `out` as a WAV file and one JSON line per job ({"ok": true} or
// {"ok": false, "error": ...}) goes to stdout, in the jobs' order.
import { readFileSync, writeFileSync } from 'fs'
import { pathToFileURL } from 'url'
import { join } from 'path'

const DATA = '/data/en'
const modulesDir = process.argv[2]
const wasmJs = join(modulesDir, '@echogarden', 'gnuspeech-wasm', 'wasm', 'gnuspeech.js')
const { default: initializer } = await import(pathToFileURL(wasmJs).href)

// The synthesiser's own messages go to stderr: stdout carries one answer per job.
const quiet = { print: (s) => process.stderr.write(s + '\n'), printErr: (s) => process.stderr.write(s + '\n') }
let m = null
let baseVoice = ''
let baseControl = ''

async function load() {
  m = await initializer(quiet)
  const read = (name) => new TextDecoder().decode(m.FS.readFile(`${DATA}/${name}`))
  baseVoice = read('voice_male.txt')
  baseControl = read('trm_control_model.txt')
  // 22.05 kHz is plenty for 16 kHz clips and halves the resampling work; a short vocal
  // tract runs the tube model faster than that, and its clip is written at 44.1 kHz.
  m.FS.writeFile(`${DATA}/trm.txt`, read('trm.txt').replace(/^output_rate = .*$/m, 'output_rate = 22050.0'))
}

function setting(text, key, value) {
  const re = new RegExp(`^${key} = .*$`, 'm')
  if (!re.test(text)) throw new Error(`no setting ${key}`)
  return text.replace(re, `${key} = ${value}`)
}

function cString(s) {
  const bytes = new TextEncoder().encode(s + '\0')
  const ptr = m._malloc(bytes.length)
  m.HEAPU8.set(bytes, ptr)
  return ptr
}

function renderOne(job) {
  let voice = baseVoice
  for (const [key, value] of Object.entries(job.voice)) {
    if (key === 'glottal_pulse_tn') { // the fall of the pulse, held fixed through the clip
      voice = setting(voice, 'glottal_pulse_tn_min', value)
      voice = setting(voice, 'glottal_pulse_tn_max', value)
    } else {
      voice = setting(voice, key, value)
    }
  }
  m.FS.writeFile(`${DATA}/voice_quelt.txt`, voice)
  let control = setting(baseControl, 'voice_name', 'quelt')
  control = setting(control, 'tempo', job.tempo)
  control = setting(control, 'pitch_offset', job.pitch_offset)
  m.FS.writeFile(`${DATA}/trm_control_model.txt`, control)
  const args = [job.text, '/tmp/out.wav', DATA, '/tmp/out-params.txt'].map(cString)
  try {
    m._GnuSpeech_synthesizeToFile(args[0], args[1], args[2], args[3], false)
    writeFileSync(job.out, m.FS.readFile('/tmp/out.wav'))
    m.FS.unlink('/tmp/out.wav')
  } finally {
    for (const p of args) m._free(p)
  }
}

const jobs = JSON.parse(readFileSync(0, 'utf8'))
await load()
for (const job of jobs) {
  let answer
  try {
    renderOne(job)
    answer = { ok: true }
  } catch (e) {
    answer = { ok: false, error: String(e && e.message ? e.message : e) }
    await load() // an abort can leave the module unusable: start a fresh instance
  }
  process.stdout.write(JSON.stringify(answer) + '\n')
}
