module.exports = {
  mode: 'production',
  devtool: 'source-map',
  entry: './src/main.js',
  target: ['web', 'es5'],
  output: { filename: 'app.js', publicPath: '/dist/' },
};
