#!/usr/bin/env bash
# validate-kubernetes.sh [FILE...]: every manifest (default: all of
# deploy/kubernetes/) checked against the Kubernetes API schema.
#
# The validator is the npm package kubernetes-models, whose models carry
# the API's OpenAPI definitions compiled to JSON-schema validators. Debian 12
# packages none (kubectl validates only against a live cluster's API, and
# neither kubeconform nor kubeval is packaged), and the npm registry is the
# other registry this project's machines reach. Its version and every
# dependency's are pinned, with their hashes, in
# scripts/kubernetes-schema/package-lock.json, and installed here by
# `npm ci`, which installs exactly that or fails.
set -euo pipefail
cd "$(dirname "$0")/.."

validator=scripts/kubernetes-schema
npm ci --prefix "$validator" --silent --no-audit --no-fund
(( $# > 0 )) || set -- deploy/kubernetes/*.yaml
node "$validator/validate.mjs" "$@"
