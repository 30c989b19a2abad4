// node validate.mjs FILE...: checks every object in the given YAML files
// against the Kubernetes API schema, as kubernetes-models compiles it from
// the API's OpenAPI definitions (types, required fields, enumerations,
// formats). Prints one line per object and every violation; exits 1 if any
// object fails or names a kind the schema does not know, or if the objects
// do not all carry the same app.kubernetes.io/* labels (the project's
// convention: one selector finds every object of the deployment).
//
// The schema admits fields it does not define (the API's definitions do
// not forbid them), so a misspelt field passes here: the system suite
// also checks what the settings did to the played containers.
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { parseAllDocuments } from "yaml";

const require = createRequire(import.meta.url);

// "apps/v1" -> kubernetes-models/apps/v1/Kind, core "v1" -> kubernetes-models/v1/Kind.
function modelFor(apiVersion, kind) {
  try {
    return require(`kubernetes-models/${apiVersion}/${kind}`)[kind];
  } catch {
    return undefined;
  }
}

function problems(object) {
  const Model = modelFor(object.apiVersion, object.kind);
  if (!Model) return [`unknown kind ${object.apiVersion}/${object.kind}`];
  try {
    new Model(object).validate();
    return [];
  } catch (error) {
    return (error.errors ?? [error]).map(
      (e) => `${e.instancePath || "/"} ${e.message}`);
  }
}

function recommendedLabels(object) {
  const labels = Object.entries(object.metadata?.labels ?? {})
    .filter(([name]) => name.startsWith("app.kubernetes.io/"));
  return JSON.stringify(labels.sort());
}

let failed = false;
let firstLabels;
for (const file of process.argv.slice(2)) {
  for (const document of parseAllDocuments(readFileSync(file, "utf8"))) {
    if (document.errors.length > 0) {
      console.log(`${file}: not YAML: ${document.errors[0].message}`);
      failed = true;
      continue;
    }
    const object = document.toJS();
    if (object === null) continue;
    const found = problems(object);
    const labels = recommendedLabels(object);
    firstLabels ??= labels;
    if (labels !== firstLabels) found.push(`labels ${labels}, not ${firstLabels}`);
    const name = `${file}: ${object.kind} ${object.metadata?.name}`;
    console.log(found.length === 0 ? `${name}: valid` : `${name}: INVALID`);
    for (const problem of found) console.log(`  ${problem}`);
    failed ||= found.length > 0;
  }
}
process.exit(failed ? 1 : 0);
