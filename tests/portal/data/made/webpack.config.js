// A development build as webpack 5 makes it with devtool 'eval': an ES5
// runtime, each module an eval string of its own source.
module.exports = {
  mode: 'development',
  devtool: 'eval',
  target: ['web', 'es5'],
  entry: './src/index.js',
  output: { filename: 'main.js', path: __dirname + '/dist' },
};
